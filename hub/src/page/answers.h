#pragma once
// What the page's files share: reading a request (header, cookie, form field, where a form came from)
// and the page's kinds of answer (HTML with the page's headers, a redirect, a refusal, "busy").
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "net/edge.h"
#include "store/store.h"

namespace hub::page {

constexpr std::string_view kCookie = "kassaro_session";
constexpr std::string_view kFromElsewhere = "这个请求来自其他网站，已拒绝。";
constexpr std::string_view kSignInAgain = "登录已失效，请重新登录。";
constexpr std::string_view kWrongPassword = "帐号或密码错误。";
constexpr std::string_view kThrottled = "登录失败次数过多，请过几分钟再试。";
// Bills a list shows at once; a longer day is paged.
constexpr std::int64_t kPageBills = 200;

std::string header(const net::HttpRequest& r, const std::string& name);
// One cookie's value from the Cookie header ("a=1; kassaro_session=XYZ"); empty when absent.
std::string cookie(const net::HttpRequest& r, std::string_view name);
// A posted form's field: forms come as application/x-www-form-urlencoded, the query's own encoding.
std::string field(const net::HttpRequest& r, std::string_view name);
// Whether a form comes from the hub's own pages: its Origin, else its Referer, names the host it was sent
// to. A browser that sends neither (old ones, some privacy settings) is let through: the session's token
// still guards every change.
bool fromHere(const net::HttpRequest& r);
// The token every form carries: bound to the session, and of no use without the cookie, which scripts
// cannot read.
std::string csrfOf(std::string_view token);
// The edge believes X-Forwarded-Proto from trusted proxies only.
inline bool overTls(const net::HttpRequest& r) { return r.secure; }
std::string sessionCookie(std::string_view token, clock::Millis life, bool secure);

net::HttpResponse html(int status, std::string body);
net::HttpResponse refused(std::string_view reason);
net::HttpResponse unavailable();
net::HttpResponse busy();
net::HttpResponse redirect(std::string location, std::string setCookie = {});

// Whether the day has bills beyond those a page shows.
bool olderBills(std::int64_t page, const std::vector<store::Bill>& bills, const std::vector<store::ChannelSum>& sums);
std::int64_t lastBill(const std::vector<store::Bill>& bills);

}  // namespace hub::page
