#pragma once
// One HTTP or HTTPS exchange with a deadline, blocking the calling thread (a speech worker). Beast and
// Asio stay behind this header (speech/fetch.cpp).
#include <chrono>
#include <filesystem>
#include <string>

namespace hub::speech {

struct Fetched {
  int status = 0;  // 0: no answer; `error` says why
  std::string contentType;
  std::string body;
  std::string error;
};

// `url` is http:// or https://HOST[:PORT]/PATH[?QUERY]. HTTPS certificates are checked against `caFile`, or
// the system's roots when it is empty, and must name the host.
Fetched fetch(const std::string& url, std::chrono::seconds deadline, const std::filesystem::path& caFile);

}  // namespace hub::speech
