// The portable half of the request routine: the method table, the default and normalised headers, the
// proxy credentials, the cookies in both directions, and the small text routines they are made of.
#include "web/http_request.h"

#include <iterator>

#include "web/codecs.h"

namespace web {

namespace {

constexpr std::string_view kCrLf = "\r\n";

std::string dropTail(std::string s, std::string_view tail) {
  if (!tail.empty() && s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0)
    s.resize(s.size() - tail.size());
  return s;
}

bool endsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// "abc" -> "Abc", "x-requested-with" -> "X-Requested-With": only the first byte of each word, and only
// an ASCII a to z. A dash is below 0x40, so it is never the second byte of a double-byte character and
// the byte after it always starts one.
std::string capitaliseWords(std::string_view name) {
  std::string out(name);
  for (size_t i = 0; i < out.size(); ++i) {
    if ((i == 0 || out[i - 1] == '-') && out[i] >= 'a' && out[i] <= 'z') out[i] = static_cast<char>(out[i] - 32);
  }
  return out;
}

constexpr const char* kVerbs[] = {"GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE", "TRACE", "CONNECT"};

// A number outside the methods is GET in every respect.
Method known(Method method) {
  const int n = static_cast<int>(method);
  return n < 0 || n >= static_cast<int>(std::size(kVerbs)) ? Method::Get : method;
}

}  // namespace

const char* methodVerb(Method method) { return kVerbs[static_cast<int>(known(method))]; }

int timeoutMilliseconds(int timeoutSeconds) {
  if (timeoutSeconds == -1) return -1;
  if (timeoutSeconds < 1) return 15000;
  // Beyond this the milliseconds no longer fit the component's 32-bit argument; a day is plenty.
  constexpr int kLongest = 86400;
  return (timeoutSeconds > kLongest ? kLongest : timeoutSeconds) * 1000;
}

std::string completeHeaderLines(std::string_view headers, std::string_view url, Method method) {
  std::string out(headers);
  const auto addWhenMissing = [&out](std::string_view name, std::string_view line) {
    if (text::find(out, name, 1, true) == -1) out.append(line);
  };
  addWhenMissing("Accept:", "\r\nAccept: */*");
  addWhenMissing("Referer:", "\r\nReferer: " + std::string(url));
  addWhenMissing("Accept-Language:", "\r\nAccept-Language: zh-cn");
  addWhenMissing("User-Agent:", "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)");
  if (known(method) == Method::Post) addWhenMissing("Content-Type:", "\r\nContent-Type: application/x-www-form-urlencoded");
  return out;
}

std::string proxyAuthorizationValue(std::string_view user, std::string_view password) {
  return "Basic " + codecs::base64Encode(std::string(user) + ":" + std::string(password));
}

RequestPlan planRequest(RequestOptions& options) {
  RequestPlan plan;
  const Method method = known(options.method);
  plan.verb = methodVerb(method);
  plan.timeoutMs = timeoutMilliseconds(options.timeoutSeconds);
  plan.proxy = options.proxy;
  plan.disableRedirects = options.noRedirect;
  plan.certificateErrorsToIgnore = options.ignoreCertificateErrors ? kAllCertificateErrors : 0;

  if (options.completeHeaders) options.headers = completeHeaderLines(options.headers, options.url, method);
  if (options.normalizeHeaderCase) options.headers = normalizeHeaderNames(options.headers);

  if (!options.proxy.empty() && !options.proxyUser.empty()) {
    plan.setCredentials = true;
    if (options.credentialTarget == 1)
      plan.headerCalls.push_back(
          {"Proxy-Authorization", proxyAuthorizationValue(options.proxyUser, options.proxyPassword)});
  }

  if (options.cookies) {
    std::string& cookies = *options.cookies;
    if (text::find(cookies, "Cookie:", 1, true) != -1) cookies = text::replace(cookies, "Cookie:", "", 1, -1, true);
    plan.headerCalls.push_back({"Cookie", cookies});
  }

  if (text::find(options.headers, kCrLf) != -1) {
    for (const std::string& line : text::splitFields(options.headers, kCrLf)) {
      if (line.empty()) continue;
      std::string name = headerName(line), value = headerValue(line);
      // The component keeps its connections alive on its own; asking for it again is left out.
      if (name == "Connection" && value == "keep-alive") continue;
      plan.headerCalls.push_back({std::move(name), std::move(value)});
    }
  } else {
    // A single line goes as it is, even an empty one: the component refuses what it cannot send.
    plan.headerCalls.push_back({headerName(options.headers), headerValue(options.headers)});
  }

  plan.sendBytes = !options.byteBody.empty();
  return plan;
}

std::string setCookiesOf(std::string_view responseHeaders) {
  std::string cookies;
  for (const std::string& line : text::splitFields(responseHeaders, kCrLf)) {
    if (textBefore(line, ": ") != "Set-Cookie") continue;
    const std::string cookie = text::find(line, ";") == -1
                                   ? text::trim(text::replace(line, "Set-Cookie:", "", 1, -1, true))
                                   : text::trim(textBetween(line, "Set-Cookie:", ";"));
    cookies.append(cookie).append("; ");
  }
  return dropTail(std::move(cookies), "; ");
}

void takeResponseCookies(RequestOptions& options) {
  options.returnedCookies = setCookiesOf(options.returnedHeaders);
  if (options.autoMergeCookies && options.cookies) {
    options.returnedCookies = mergeCookies(*options.cookies, options.returnedCookies);
    options.cookies = options.returnedCookies;
  }
}

std::string textBefore(std::string_view text, std::string_view separator) {
  const int at = text::find(text, separator);
  return at == -1 ? std::string() : std::string(text.substr(0, static_cast<size_t>(at - 1)));
}

std::string textBetween(std::string_view text, std::string_view left, std::string_view right, int start,
                        bool ignoreCase) {
  const std::string l = text::replace(left, "#引号", "\""), r = text::replace(right, "#引号", "\"");
  const int at = text::find(text, l, start, ignoreCase);
  if (at == -1) return {};
  const int from = at + static_cast<int>(l.size());
  const int end = text::find(text, r, from, ignoreCase);
  if (end == -1) return {};
  return std::string(text.substr(static_cast<size_t>(from - 1), static_cast<size_t>(end - from)));
}

std::string headerName(std::string_view line) {
  const int at = text::find(line, ":");
  return at == -1 ? std::string() : text::trim(line.substr(0, static_cast<size_t>(at - 1)));
}

std::string headerValue(std::string_view line) {
  const int at = text::find(line, ":");
  return at == -1 ? std::string() : text::trim(line.substr(static_cast<size_t>(at)));
}

std::string normalizeHeaderNames(std::string_view headers) {
  std::string out;
  for (const std::string& line : text::splitFields(headers, kCrLf)) {
    const int colon = text::find(line, ":");
    if (colon == -1) continue;
    if (!out.empty()) out.append(kCrLf);
    out.append(capitaliseWords(std::string_view(line).substr(0, static_cast<size_t>(colon - 1))));
    out.append(std::string_view(line).substr(static_cast<size_t>(colon - 1)));
  }
  return out;
}

std::string cookieName(std::string_view cookie) {
  const int at = text::find(cookie, "=");
  return text::trim(at == -1 ? cookie : cookie.substr(0, static_cast<size_t>(at - 1)));
}

std::string mergeCookies(std::string_view oldCookies, std::string_view newCookies) {
  const auto entries = [](std::string_view cookies) {
    std::string s = text::trim(cookies);
    if (!s.empty() && s.back() == ';') s.push_back(' ');
    return text::splitFields(s, "; ");
  };
  std::vector<std::string> merged = entries(newCookies);
  std::vector<std::string> names;
  for (const std::string& entry : merged) names.push_back(cookieName(entry));
  for (const std::string& entry : entries(oldCookies)) {
    std::string name = cookieName(entry);
    bool taken = false;
    for (const std::string& n : names) taken = taken || n == name;
    if (taken) continue;
    merged.push_back(entry);
    names.push_back(std::move(name));
  }
  std::string joined;
  for (const std::string& entry : merged) {
    if (!endsWith(entry, "=deleted")) joined.append(entry).append("; ");
  }
  return removeDuplicateEntries(dropTail(std::move(joined), "; "), "; ");
}

std::string removeDuplicateEntries(std::string_view text, std::string_view separator) {
  std::vector<std::string> kept;
  std::string out;
  for (std::string& entry : text::splitFields(text, separator)) {
    bool seen = false;
    for (const std::string& k : kept) seen = seen || k == entry;
    if (seen) continue;
    out.append(entry).append(separator);
    kept.push_back(std::move(entry));
  }
  return dropTail(std::move(out), separator);
}

}  // namespace web
