// The baidu engine: the provider's own account at the cloud service. One token for every sentence, kept
// until shortly before it expires; an answer that calls it invalid fetches a new one once.
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>

#include "common/clock.h"
#include "speech/engine.h"
#include "speech/fetch.h"

namespace hub::speech {
namespace {

constexpr std::chrono::seconds kDeadline{15};
// A token is renewed this long before the service says it ends.
constexpr clock::Millis kRenewEarly = 24 * 3600 * 1000;
// The service's numbers for a token it does not take (invalid, expired, of another account's scope).
constexpr std::int64_t kTokenRefused[] = {502, 3302, 110, 111};

std::string percentEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string field(const boost::json::value& json, const char* name) {
  const auto* object = json.if_object();
  const auto* value = object ? object->if_contains(name) : nullptr;
  if (!value) return {};
  if (value->is_string()) return std::string(value->as_string());
  if (value->is_int64()) return std::to_string(value->as_int64());
  return {};
}

boost::json::value parsed(const std::string& body) {
  boost::system::error_code ignored;
  return boost::json::parse(body, ignored);
}

std::string answerSaid(const Fetched& f) {
  if (f.status == 0) return f.error;
  std::string text = f.body.substr(0, 200);
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return "HTTP " + std::to_string(f.status) + " " + text;
}

class BaiduEngine final : public Engine {
 public:
  explicit BaiduEngine(BaiduAccount account) : account_(std::move(account)) {}
  std::string name() const override { return "baidu " + account_.apiKey; }

  Rendering render(const std::string& text, int per) override {
    for (int attempt = 0;; ++attempt) {
      std::string why;
      const std::string token = currentToken(why);
      if (token.empty()) return failed("token: " + why);
      const Fetched f = fetch(account_.ttsUrl + "?tex=" + percentEncoded(text) + "&tok=" + percentEncoded(token) +
                                  "&cuid=kassaro-hub&ctp=1&lan=zh&vol=5&per=" + std::to_string(per),
                              kDeadline, account_.caFile);
      if (f.status == 200 && f.contentType.find("audio/mp3") != std::string::npos && !f.body.empty())
        return renderedAudio(f.body);
      const auto json = parsed(f.body);
      const std::string number = field(json, "err_no"), message = field(json, "err_msg");
      const bool refusedToken =
          std::any_of(std::begin(kTokenRefused), std::end(kTokenRefused),
                      [&](std::int64_t n) { return number == std::to_string(n); });
      if (refusedToken && attempt == 0) {
        forget(token);
        continue;
      }
      if (!message.empty()) return failed("err_no " + number + ": " + message);
      return failed(answerSaid(f));
    }
  }

 private:
  // The kept token, or a new one; empty with `why` when the service gave none.
  std::string currentToken(std::string& why) {
    std::lock_guard lock(mutex_);
    if (!token_.empty() && clock::now() < renewAt_) return token_;
    const Fetched f = fetch(account_.tokenUrl + "?grant_type=client_credentials&client_id=" +
                                percentEncoded(account_.apiKey) + "&client_secret=" + percentEncoded(account_.secretKey),
                            kDeadline, account_.caFile);
    const auto json = parsed(f.body);
    const std::string token = field(json, "access_token");
    if (f.status != 200 || token.empty()) {
      const std::string error = field(json, "error_description");
      why = error.empty() ? answerSaid(f) : field(json, "error") + ": " + error;
      return {};
    }
    const std::string life = field(json, "expires_in");
    const clock::Millis lifeMillis = std::strtoll(life.c_str(), nullptr, 10) * 1000;
    token_ = token;
    renewAt_ = clock::now() + std::max<clock::Millis>(lifeMillis - kRenewEarly, lifeMillis / 2);
    return token_;
  }
  void forget(const std::string& token) {
    std::lock_guard lock(mutex_);
    if (token_ == token) token_.clear();
  }

  BaiduAccount account_;
  std::mutex mutex_;
  std::string token_;
  clock::Millis renewAt_ = 0;
};

}  // namespace

std::unique_ptr<Engine> baiduEngine(BaiduAccount account) { return std::make_unique<BaiduEngine>(std::move(account)); }

}  // namespace hub::speech
