// The page's shared request readers and answers (page/answers.h).
#include "page/answers.h"

#include <algorithm>

#include "accounts/secrets.h"
#include "page/html.h"

namespace hub::page {

std::string header(const net::HttpRequest& r, const std::string& name) {
  const auto it = r.headers.find(name);
  return it == r.headers.end() ? std::string() : it->second;
}

std::string cookie(const net::HttpRequest& r, std::string_view name) {
  const std::string all = header(r, "cookie");
  std::string_view rest = all;
  while (!rest.empty()) {
    const auto semi = rest.find(';');
    std::string_view pair = rest.substr(0, semi);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=')
      return std::string(pair.substr(name.size() + 1));
    if (semi == std::string_view::npos) break;
    rest.remove_prefix(semi + 1);
  }
  return {};
}

std::string field(const net::HttpRequest& r, std::string_view name) { return net::queryParameter(r.body, name); }

bool fromHere(const net::HttpRequest& r) {
  const std::string host = header(r, "host"), origin = header(r, "origin"), referer = header(r, "referer");
  auto names = [&](std::string_view site) {
    return !host.empty() && (site == "http://" + host || site == "https://" + host);
  };
  if (!origin.empty()) return names(origin);
  if (referer.empty()) return true;
  // The Referer's own origin: up to the path that follows "scheme://host".
  const auto scheme = referer.find("://");
  return names(referer.substr(0, scheme == std::string::npos ? scheme : referer.find('/', scheme + 3)));
}

std::string csrfOf(std::string_view token) { return accounts::digest("csrf:" + std::string(token)); }

std::string sessionCookie(std::string_view token, clock::Millis life, bool secure) {
  return std::string(kCookie) + "=" + std::string(token) + "; Path=/; Max-Age=" + std::to_string(life / 1000) +
         "; HttpOnly; SameSite=Strict" + (secure ? "; Secure" : "");
}

net::HttpResponse html(int status, std::string body) {
  net::HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  r.contentType = "text/html; charset=utf-8";
  // No page is kept by a browser or a proxy or framed by another site; scripts come from the hub alone.
  r.headers = {{"Cache-Control", "no-store"},
               {"X-Frame-Options", "DENY"},
               {"X-Content-Type-Options", "nosniff"},
               {"Referrer-Policy", "same-origin"},
               {"Content-Security-Policy",
                "default-src 'none'; style-src 'unsafe-inline'; script-src 'self'; connect-src 'self'; "
                "img-src 'self' data:; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"}};
  return r;
}

net::HttpResponse refused(std::string_view reason) { return html(403, messagePage("请求被拒绝", reason)); }

net::HttpResponse unavailable() {
  return html(503, messagePage("暂时不能服务", "收款服务的数据库暂时不可用，请稍后再试。"));
}

net::HttpResponse busy() { return html(503, messagePage("暂时不能服务", "服务器正忙，请稍后再试。")); }

bool olderBills(std::int64_t page, const std::vector<store::Bill>& bills, const std::vector<store::ChannelSum>& sums) {
  std::int64_t all = 0;
  for (const auto& s : sums) all += s.count;
  return (page - 1) * kPageBills + static_cast<std::int64_t>(bills.size()) < all;
}

net::HttpResponse redirect(std::string location, std::string setCookie) {
  net::HttpResponse r = html(303, {});
  r.headers.emplace_back("Location", std::move(location));
  if (!setCookie.empty()) r.headers.emplace_back("Set-Cookie", std::move(setCookie));
  return r;
}

std::int64_t lastBill(const std::vector<store::Bill>& bills) {
  std::int64_t last = 0;
  for (const auto& b : bills) last = std::max(last, b.number);
  return last;
}

}  // namespace hub::page
