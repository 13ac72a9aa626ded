#include "speech/synthesis.h"

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <optional>

#include "common/text.h"
#include "speech/tokens.h"

namespace hub::speech {
namespace {

// The text's length in GBK (two bytes a Chinese character, four for what GB18030 adds beyond the basic
// plane), or nothing when it is not UTF-8 text: broken sequences, or control characters other than
// white space.
std::optional<std::size_t> gbkLength(std::string_view text) {
  if (!text::validUtf8(text)) return std::nullopt;
  std::size_t length = 0;
  for (const char byte : text) {
    const auto c = static_cast<unsigned char>(byte);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return std::nullopt;
    // Counted at each character's first byte: ASCII, two- and three-byte characters, four-byte ones.
    if (c < 0x80)
      length += 1;
    else if (c >= 0xF0)
      length += 4;
    else if (c >= 0xC0)
      length += 2;
  }
  return length;
}

bool digitsOnly(std::string_view text, std::size_t most) {
  if (text.empty() || text.size() > most) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

Sentence readSentence(const net::HttpRequest& request) {
  if (request.method != "GET" && request.method != "POST") throw Refused(kBadParameter, "GET or POST");
  Sentence s;
  s.token = formField(request, "tok");
  if (s.token.empty()) throw Refused(kBadToken, "access token missing");
  const std::string cuid = formField(request, "cuid");
  if (cuid.empty() || cuid.size() > 60) throw Refused(kBadParameter, "cuid missing or longer than 60");
  if (formField(request, "ctp") != "1") throw Refused(kBadParameter, "ctp must be 1");
  if (formField(request, "lan") != "zh") throw Refused(kBadParameter, "lan must be zh");
  const std::string per = formField(request, "per");
  if (!per.empty() && !digitsOnly(per, 5)) throw Refused(kBadParameter, "per must be a voice number");
  s.per = per.empty() ? 0 : std::stoi(per);
  const std::string vol = formField(request, "vol");
  if (!vol.empty() && (!digitsOnly(vol, 2) || std::stoi(vol) > 15)) throw Refused(kBadParameter, "vol must be 0 to 15");
  // Only MP3 is served: the counters recognise audio by "audio/mp3".
  const std::string aue = formField(request, "aue");
  if (!aue.empty() && aue != "3") throw Refused(kBadParameter, "aue must be 3");
  s.text = formField(request, "tex");
  // The service takes the text percent-encoded once or twice: a text that still carries escapes after the
  // form's own decoding was encoded twice, and is decoded the same way again.
  if (text::hasPercentEscape(s.text)) s.text = text::formDecode(s.text);
  if (s.text.empty()) throw Refused(kBadParameter, "tex missing");
  const auto length = gbkLength(s.text);
  if (!length) throw Refused(kBadText, "tex is not UTF-8 text");
  if (*length > kMaxGbkBytes) throw Refused(kBadText, "tex longer than 1024 GBK bytes");
  return s;
}

net::HttpResponse refusal(Refusal number, std::string_view message) {
  boost::json::object body;
  body["err_no"] = static_cast<int>(number);
  body["err_msg"] = message;
  return net::jsonResponse(number, boost::json::serialize(body));
}

net::HttpResponse audio(std::string mp3) {
  net::HttpResponse r;
  r.body = std::move(mp3);
  r.contentType = "audio/mp3";
  return r;
}

}  // namespace hub::speech
