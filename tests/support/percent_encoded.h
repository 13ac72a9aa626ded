// What a web service must receive for a text sent in an address: every byte as %XX, upper-case.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>

inline std::string percentEncoded(std::string_view utf8) {
  std::string out;
  char buf[4];
  for (const char c : utf8) {
    std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
    out += buf;
  }
  return out;
}
