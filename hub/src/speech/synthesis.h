#pragma once
// The synthesis endpoint's request as the counters send it (GET /text2audio?tex=..&tok=..&cuid=..&ctp=1
// &lan=zh&vol=5&per=N, or POST with those fields as a form), checked field by field, and the service's
// own error form for what fails.
#include <string>

#include "common/failure.h"
#include "net/edge.h"

namespace hub::speech {

// The service's error numbers; each is also the answer's HTTP status, so that no answer without audio
// reads as a success.
enum Refusal : int {
  kBadToken = 502,      // no token, an unknown or expired one, or a caller the hub does not serve
  kBadParameter = 501,  // a field missing or out of range
  kBadText = 513,       // over 1024 GBK bytes, or not text
  kEngineFailed = 503,  // the engine failed, or speech is off
};

// What one announcement asks for.
struct Sentence {
  std::string text;  // UTF-8
  int per = 0;       // the voice
  std::string token;
};

// The service's longest sentence, in GBK bytes.
constexpr std::size_t kMaxGbkBytes = 1024;

// Throws Refused with the service's error number as its status.
Sentence readSentence(const net::HttpRequest& request);

net::HttpResponse refusal(Refusal number, std::string_view message);
net::HttpResponse audio(std::string mp3);

}  // namespace hub::speech
