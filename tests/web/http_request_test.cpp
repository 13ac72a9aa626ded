#include "web/http_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using web::HeaderCall;
using web::RequestOptions;
using Calls = std::vector<HeaderCall>;

namespace {

const HeaderCall kUserAgent{"User-Agent", "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)"};

RequestOptions get(const std::string& url, const std::string& headers = "") {
  RequestOptions o;
  o.url = url;
  o.headers = headers;
  return o;
}

std::vector<std::string> names(const web::RequestPlan& plan) {
  std::vector<std::string> out;
  for (const auto& c : plan.headerCalls) out.push_back(c.name + "=" + c.value);
  return out;
}

}  // namespace

TEST(HttpRequestPlan, MethodsAndTimeouts) {
  const char* verbs[] = {"GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE", "TRACE", "CONNECT"};
  for (int m = 0; m < 8; ++m) EXPECT_STREQ(web::methodVerb(static_cast<web::Method>(m)), verbs[m]) << m;
  RequestOptions nine = get("http://h/");
  nine.method = static_cast<web::Method>(9);
  EXPECT_EQ(web::planRequest(nine).verb, "GET");
  EXPECT_EQ(text::find(nine.headers, "Content-Type"), -1);  // GET in every respect
  EXPECT_STREQ(web::methodVerb(static_cast<web::Method>(-1)), "GET");

  RequestOptions o = get("http://h/");
  EXPECT_EQ(web::planRequest(o).timeoutMs, 15000);  // not supplied
  const std::pair<int, int> cases[] = {{0, 15000}, {-5, 15000}, {3, 3000}, {-1, -1}};
  for (const auto& [seconds, ms] : cases) {
    o.timeoutSeconds = seconds;
    EXPECT_EQ(web::planRequest(o).timeoutMs, ms) << seconds;
  }
  // Seconds whose milliseconds would overflow the component's argument are held at a day.
  EXPECT_EQ(web::timeoutMilliseconds(2147483647), 86400000);
}

TEST(HttpRequestPlan, DefaultHeaders) {
  RequestOptions o = get("https://localhost:9443/oauth/2.0/token?a=1");
  const web::RequestPlan plan = web::planRequest(o);
  EXPECT_EQ(plan.headerCalls, (Calls{{"Accept", "*/*"},
                                     {"Referer", "https://localhost:9443/oauth/2.0/token?a=1"},
                                     {"Accept-Language", "zh-cn"},
                                     kUserAgent}));
  // The caller's field holds the completed, normalised lines, the leading CR LF gone.
  EXPECT_EQ(o.headers.substr(0, 13), "Accept: */*\r\n");
  EXPECT_EQ(plan.verb, "GET");
  EXPECT_FALSE(plan.setCredentials || plan.sendBytes || plan.disableRedirects || !plan.proxy.empty());
  EXPECT_EQ(plan.certificateErrorsToIgnore, 0);  // certificates are checked unless asked otherwise

  RequestOptions post = get("http://h/p");
  post.method = web::Method::Post;
  EXPECT_EQ(web::planRequest(post).headerCalls.back(),
            (HeaderCall{"Content-Type", "application/x-www-form-urlencoded"}));
}

TEST(HttpRequestPlan, CallerHeadersCaseAndKeepAlive) {
  RequestOptions o = get("http://h/", "accept: text/html\r\nx-requested-with: X\r\ncontent-TYPE: t/p");
  EXPECT_EQ(web::planRequest(o).headerCalls, (Calls{{"Accept", "text/html"},
                                                    {"X-Requested-With", "X"},
                                                    {"Content-TYPE", "t/p"},
                                                    {"Referer", "http://h/"},
                                                    {"Accept-Language", "zh-cn"},
                                                    kUserAgent}));

  RequestOptions keepAlive = get("http://h/", "connection: keep-alive");
  for (const auto& c : web::planRequest(keepAlive).headerCalls) EXPECT_NE(c.name, "Connection");
  RequestOptions asWritten = get("http://h/", "connection: keep-alive");
  asWritten.normalizeHeaderCase = false;
  EXPECT_EQ(names(web::planRequest(asWritten))[0], "connection=keep-alive");
  RequestOptions close = get("http://h/", "Connection: close");
  EXPECT_EQ(names(web::planRequest(close))[0], "Connection=close");

  // A single line (no CR LF at all) goes as it is, keep-alive or empty.
  RequestOptions single = get("http://h/", "Connection: keep-alive");
  single.completeHeaders = false;
  EXPECT_EQ(web::planRequest(single).headerCalls, (Calls{{"Connection", "keep-alive"}}));
  RequestOptions none = get("http://h/");
  none.completeHeaders = false;
  EXPECT_EQ(web::planRequest(none).headerCalls, (Calls{{"", ""}}));
}

TEST(HttpRequestPlan, ProxyCredentialsAndCookieHeader) {
  EXPECT_EQ(web::proxyAuthorizationValue("user", "pass"), "Basic dXNlcjpwYXNz");
  EXPECT_EQ(web::proxyAuthorizationValue("张", "1"), "Basic 1cU6MQ==");  // GBK bytes D5 C5

  RequestOptions o = get("http://h/");
  o.proxy = "10.0.0.1:8080";
  o.proxyUser = "user";
  o.proxyPassword = "pass";
  web::RequestPlan plan = web::planRequest(o);
  EXPECT_TRUE(plan.setCredentials);
  EXPECT_EQ(plan.headerCalls.front(), (HeaderCall{"Proxy-Authorization", "Basic dXNlcjpwYXNz"}));
  o.headers.clear();
  o.credentialTarget = 0;  // server credentials: no header of ours
  plan = web::planRequest(o);
  EXPECT_TRUE(plan.setCredentials);
  EXPECT_EQ(plan.headerCalls.front().name, "Accept");
  o.proxyUser.clear();  // a password alone sets nothing
  EXPECT_FALSE(web::planRequest(o).setCredentials);

  RequestOptions noCookies = get("http://h/");
  for (const auto& c : web::planRequest(noCookies).headerCalls) EXPECT_NE(c.name, "Cookie");
  RequestOptions empty = get("http://h/");
  empty.cookies = "";
  EXPECT_EQ(web::planRequest(empty).headerCalls.front(), (HeaderCall{"Cookie", ""}));
  RequestOptions prefixed = get("http://h/");
  prefixed.cookies = "COOKIE:a=1; cookie:b=2";
  EXPECT_EQ(web::planRequest(prefixed).headerCalls.front(), (HeaderCall{"Cookie", "a=1; b=2"}));
  EXPECT_EQ(*prefixed.cookies, "a=1; b=2");
}

TEST(HttpRequestCookies, SetCookieLinesAndMerging) {
  EXPECT_EQ(web::setCookiesOf("Content-Type: x\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n"
                              "set-cookie: c=3\r\nX-Set-Cookie: z=9\r\n\r\n"),
            "a=1; b=2");
  EXPECT_EQ(web::setCookiesOf(""), "");

  EXPECT_EQ(web::mergeCookies("a=1; c=3", "a=2; d=4; c=deleted"), "a=2; d=4");
  EXPECT_EQ(web::mergeCookies("a=1; a=1", ""), "a=1");
  EXPECT_EQ(web::mergeCookies("a=1; a=5", ""), "a=1");  // the first submitted of a name survives
  EXPECT_EQ(web::mergeCookies(" a=1; ", "b=2;"), "b=2; a=1");
  EXPECT_EQ(web::mergeCookies("", "x=deleted"), "");

  RequestOptions o = get("http://h/");
  o.cookies = "a=1; c=3";
  o.returnedHeaders = "Set-Cookie: a=2; path=/\r\nSet-Cookie: d=4\r\nSet-Cookie: c=deleted; expires=x\r\n";
  web::takeResponseCookies(o);
  EXPECT_EQ(o.returnedCookies, "a=2; d=4");
  EXPECT_EQ(*o.cookies, "a=2; d=4");

  // A failed exchange has no headers: the submitted cookies merged with nothing.
  RequestOptions failed = get("http://h/");
  failed.cookies = "a=1; a=1";
  web::takeResponseCookies(failed);
  EXPECT_EQ(failed.returnedCookies, "a=1");

  RequestOptions noMerge = get("http://h/");
  noMerge.cookies = "a=1";
  noMerge.autoMergeCookies = false;
  noMerge.returnedHeaders = "Set-Cookie: b=2\r\n";
  web::takeResponseCookies(noMerge);
  EXPECT_EQ(noMerge.returnedCookies, "b=2");
  EXPECT_EQ(*noMerge.cookies, "a=1");
}

TEST(HttpRequestText, TextRoutines) {
  const std::string json = R"({"refresh_token":"r1","access_token":"24.abc-1.2","expires_in":1})";
  EXPECT_EQ(web::textBetween(json, "access_token#引号:#引号", "#引号"), "24.abc-1.2");
  EXPECT_EQ(web::textBetween(json, "missing", "\""), "");
  EXPECT_EQ(web::textBetween(R"("access_token":"cut)", "access_token\":\"", "\""), "");
  EXPECT_EQ(web::textBetween("x[", "[", "]"), "");  // the left marker ends the text
  EXPECT_EQ(web::textBetween("<a>1</a><a>2</a>", "<a>", "</a>", 2), "2");
  EXPECT_EQ(web::textBetween("<A>1</A>", "<a>", "</a>"), "");
  EXPECT_EQ(web::textBetween("<A>1</A>", "<a>", "</a>", 1, true), "1");
  EXPECT_EQ(web::textBetween("啊收款了", "收", "了"), "款");
  EXPECT_EQ(web::textBefore("Set-Cookie: a=1", ": "), "Set-Cookie");
  EXPECT_EQ(web::textBefore("none", ": "), "");

  EXPECT_EQ(web::headerName("  Accept :  */*  "), "Accept");
  EXPECT_EQ(web::headerValue("Referer: http://h:80/x"), "http://h:80/x");
  EXPECT_EQ(web::headerName("no colon") + web::headerValue("no colon"), "");
  EXPECT_EQ(web::headerValue("X:\t1"), "\t1");  // tabs are not trimmed

  EXPECT_EQ(web::normalizeHeaderNames("\r\naccept: x\r\n\r\nno colon\r\nuser-agent:y\r\n"), "Accept: x\r\nUser-Agent:y");
  EXPECT_EQ(web::normalizeHeaderNames("x-: 1\r\na--b: 3\r\n名字-a: 值"), "X-: 1\r\nA--B: 3\r\n名字-A: 值");

  EXPECT_EQ(web::cookieName(" a = 1 "), "a");
  EXPECT_EQ(web::cookieName(" flag "), "flag");
  EXPECT_EQ(web::removeDuplicateEntries("a; b; a; c; b", "; "), "a; b; c");
  EXPECT_EQ(web::removeDuplicateEntries("", "; "), "");
}
