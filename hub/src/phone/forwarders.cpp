#include "phone/forwarders.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "accounts/secrets.h"
#include "common/text.h"

namespace hub::phone {
namespace json = boost::json;
namespace {

// SmsForwarder signs as DingTalk's robots do and gives a signed timestamp an hour; the payment monitors'
// own servers take a phone clock 50 s off and no more.
constexpr clock::Millis kSmsForwarderSkew = 3600 * 1000;
constexpr clock::Millis kVmqSkew = 50 * 1000;

std::optional<clock::Millis> millisOf(std::string_view digits) {
  clock::Millis ms = 0;
  const auto end = digits.data() + digits.size();
  const auto [at, ec] = std::from_chars(digits.data(), end, ms);
  if (digits.empty() || ec != std::errc() || at != end || ms < 0) return std::nullopt;
  return ms;
}

// A timestamp the app signed, in milliseconds, within the skew of the hub's clock.
void checkClock(std::string_view timestamp, std::string_view name, clock::Millis skew, clock::Millis now) {
  const auto sent = millisOf(timestamp);
  if (!sent) throw Refused{401, std::string(name) + " must be milliseconds since 1970"};
  if (std::llabs(now - *sent) > skew)
    throw Refused{401, std::string(name) + " is more than " + std::to_string(skew / 1000) + " s off the hub's clock"};
}

void checkSign(std::string_view sign, std::initializer_list<std::string> expected) {
  bool same = false;
  for (const std::string& e : expected) same |= accounts::sameText(sign, e);  // each compared, in constant time
  if (!same) throw Refused{401, "bad sign"};
}

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return text;
}

// Java's URLEncoder over Base64, as SmsForwarder applies it to its sign.
std::string urlEncodedBase64(std::string_view base64) {
  std::string out;
  for (char c : base64) out += c == '+' ? "%2B" : c == '/' ? "%2F" : c == '=' ? "%3D" : std::string(1, c);
  return out;
}

// SmsForwarder's own message layout, which it posts as "content" when no template is set:
// package, text, title, ["UID：n",] receive time, [device name]. Anything else reaches the recogniser
// as text alone.
Notice layoutOf(std::string from, std::string_view content) {
  std::vector<std::string_view> lines;
  for (size_t at = 0; at <= content.size();) {
    const size_t end = std::min(content.find('\n', at), content.size());
    lines.push_back(content.substr(at, end - at));
    at = end + 1;
  }
  auto isTime = [](std::string_view s) {
    return s.size() == 19 && s[4] == '-' && s[7] == '-' && s[10] == ' ' && s[13] == ':' && s[16] == ':';
  };
  const size_t n = lines.size();
  size_t title = n >= 4 && isTime(lines[n - 1]) ? n - 2 : n >= 5 && isTime(lines[n - 2]) ? n - 3 : 0;
  if (title > 2 && lines[title].starts_with("UID：")) --title;
  if (title < 2 || lines[0] != from) return {std::move(from), "", std::string(content)};
  std::string text;
  for (size_t i = 1; i < title; ++i) text += (i > 1 ? "\n" : "") + std::string(lines[i]);
  return {std::move(from), std::string(lines[title]), text};
}

// The account a payment monitor's address names: "/vmq/ACCOUNT/appHeart", percent-encoded by the app.
std::string accountOf(std::string_view path) {
  path.remove_prefix(std::string_view("/vmq/").size());
  return text::percentDecode(path.substr(0, path.find('/')));  // a path keeps its '+'
}

Reading vmq(const net::HttpRequest& request, clock::Millis now, bool push) {
  const Fields query = formFields(request.query);
  const std::string t = field(query, "t", 32), sign = field(query, "sign", 64);
  checkClock(t, "t", kVmqSkew, now);
  Report report;
  std::string signedText = t;
  if (push) {
    // "price" is Java's text for a double ("1.0", "0.01"), or "%.2f" in some forks: signed as sent.
    const std::string type = field(query, "type", 8), price = field(query, "price", 32);
    if (type != "1" && type != "2") throw Refused{400, "type must be 1 (WeChat) or 2 (Alipay)"};
    const auto fen = money::parse(price);
    if (!fen) throw Refused{400, "price must be a positive number of yuan with at most two decimals"};
    report.paid = Paid{type == "1" ? Channel::wechat : Channel::alipay, *fen};
    // A fork that got no answer sends the very same request again (with "&force_push=true").
    report.sourceId = "vmq:" + t + ":" + type + ":" + price;
    report.time = t;
    signedText = type + price + t;
  }
  Caller caller{"", accountOf(request.path), [signedText, sign](std::string_view key) {
                  return accounts::sameText(accounts::md5Hex(signedText + std::string(key)), sign);
                }};
  return {std::move(caller), std::move(report)};
}

}  // namespace

Fields jsonFields(std::string_view body) {
  json::error_code ec;
  json::value v = json::parse(body, ec);
  if (ec || !v.is_object()) throw Refused{400, "the body must be a JSON object"};
  return {std::move(v.as_object()), {}};
}

Fields formFields(std::string_view form) { return {{}, std::string(form)}; }

std::string field(const Fields& fields, std::string_view name, size_t limit) {
  std::string text;
  if (!fields.form.empty()) {
    text = net::queryParameter(fields.form, name);
  } else if (const json::value* v = fields.json.if_contains(name); v && !v->is_null()) {
    if (v->is_string()) {
      text = v->get_string();
    } else if (v->is_int64() || v->is_uint64()) {
      text = json::serialize(*v);
    } else if (v->is_double()) {
      // A number is read back in its shortest decimal form, so 12.5 is "12.5", never a binary fraction.
      char digits[32];
      const auto end = std::to_chars(digits, digits + sizeof digits, v->get_double(), std::chars_format::fixed);
      if (end.ec == std::errc()) text.assign(digits, end.ptr);
    } else {
      throw Refused{400, std::string(name) + " must be a text"};
    }
  }
  if (text.size() > limit) throw Refused{400, std::string(name) + " is too long"};
  return text;
}

std::string keyOf(const net::HttpRequest& request) {
  if (const auto it = request.headers.find("authorization"); it != request.headers.end()) {
    constexpr std::string_view kBearer = "Bearer ";
    if (it->second.size() > kBearer.size() && it->second.compare(0, kBearer.size(), kBearer) == 0)
      return it->second.substr(kBearer.size());
  }
  return net::queryParameter(request.query, "key");
}

// SmsForwarder's webhook: a form (from, content, timestamp, sign) without a template, JSON with one.
// With a secret set, sign = URL-encoded Base64 of HMAC-SHA256(secret, timestamp + "\n" + secret), and the
// secret is the intake key. In a form the app encodes the sign once more, which the form's decoding undoes.
Reading smsForwarder(const net::HttpRequest& request, clock::Millis now) {
  const std::string key = keyOf(request);
  const size_t first = request.body.find_first_not_of(" \t\r\n");
  const bool isJson = first != std::string::npos && request.body[first] == '{';
  const Fields fields = isJson ? jsonFields(request.body) : formFields(request.body);
  const std::string timestamp = field(fields, "timestamp", 32), sign = field(fields, "sign", 128);
  if (!sign.empty()) {
    checkClock(timestamp, "timestamp", kSmsForwarderSkew, now);
    const std::string expected = accounts::hmacSha256Base64(key, timestamp + "\n" + key);
    checkSign(sign, {urlEncodedBase64(expected), expected});
  }
  Report report;
  report.notice = isJson ? Notice{field(fields, "package"), field(fields, "title"), field(fields, "text")}
                         : layoutOf(field(fields, "from"), field(fields, "content"));
  report.notification = true;
  // The app's retries carry the first attempt's timestamp.
  const Notice& n = *report.notice;
  if (!timestamp.empty())
    report.sourceId = "sf:" + timestamp + ":" + accounts::digest(n.package + "\n" + n.title + "\n" + n.text);
  return {{key, "", {}}, std::move(report)};
}

// receiptnotice posts JSON of texts (type, money, time, title, content, deviceid, sign) and recognises the
// payment itself. Its sign is upper-case hex of md5(md5(type + money) + secret) with its "md5" encryption
// on, the secret being the intake key; with encryption off it sends "encrypt":"0" and signs without one.
Reading receiptNotice(const net::HttpRequest& request, clock::Millis) {
  const std::string key = keyOf(request);
  const Fields fields = jsonFields(request.body);
  const std::string type = field(fields, "type", 64), money = field(fields, "money", 64);
  const std::string inner = upper(accounts::md5Hex(type + money));
  const bool keyed = field(fields, "encrypt", 8) != "0";
  checkSign(field(fields, "sign", 64), {upper(accounts::md5Hex(keyed ? inner + key : inner))});
  Report report;
  report.notification = true;
  const std::string title = field(fields, "title"), content = field(fields, "content");
  const auto fen = money::parse(money);
  if (type != "wechat" && type != "alipay")
    report.ignored = "not a WeChat or Alipay payment";
  else if (!fen)
    report.ignored = "no amount";  // "null" when the app found none, "-0.00" for a transfer it could not read
  else
    report.paid = Paid{type == "wechat" ? Channel::wechat : Channel::alipay, *fen};
  if (report.paid)
    report.shown = Notice{type == "wechat" ? "com.tencent.mm" : "com.eg.android.AlipayGphone", title, content};
  report.time = field(fields, "time", 64);
  report.words = title.empty() ? content : title + " | " + content;
  // A retry is the same post again (with "repeatnum" added).
  report.sourceId = "rn:" + accounts::digest(report.time + "\n" + type + "\n" + money + "\n" + content);
  return {{key, "", {}}, std::move(report)};
}

// The vmq payment monitors (szvone/vmqApk and its forks) GET HOST/appHeart?t=&sign=md5(t + key) every 30 s
// and HOST/appPush?t=&type=&price=&sign=md5(type + price + t + key) for a payment. They carry no key,
// only signs with it, so the address names the account.
Reading vmqHeart(const net::HttpRequest& request, clock::Millis now) { return vmq(request, now, false); }
Reading vmqPush(const net::HttpRequest& request, clock::Millis now) { return vmq(request, now, true); }

net::HttpResponse vmqAnswer(net::HttpResponse ours) {
  json::error_code ec;
  const json::value v = json::parse(ours.body, ec);
  const json::object* o = ec ? nullptr : v.if_object();
  const bool ok = o && o->contains("ok") && o->at("ok") == true;
  const json::value* error = o ? o->if_contains("error") : nullptr;
  const std::string_view why = error && error->is_string() ? std::string_view(error->get_string()) : "failed";
  ours.body = json::serialize(json::object{{"code", ok ? 1 : -1}, {"msg", ok ? std::string_view("成功") : why}});
  // One fork sends a request again at once, five times, on anything but 2xx: worth it only when the hub
  // was busy or its store away, not for a sign or a clock that will not change.
  if (ours.status != 429 && ours.status < 500) ours.status = 200;
  return ours;
}

}  // namespace hub::phone
