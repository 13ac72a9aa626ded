// The program's HTTP request routine: one synchronous exchange through the platform's HTTP automation
// component ("WinHttp.WinHttpRequest.5.1", called late-bound), with what a browser would add around it:
// default request headers, header-name capitalisation, a named proxy with Basic proxy authorisation,
// the Cookie header, and the cookies the server sets merged with the ones submitted.
//
// The text work around the exchange is portable and lives in http_request.cpp; only the component calls
// are in http_request_win32.cpp (natively there is no component: http_request_native.cpp fails every
// exchange as a component that cannot be created does, so the callers build and run there too).
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace web {

// The request method, numbered as in the program's design; a number outside them means GET.
enum class Method { Get = 0, Post, Head, Put, Options, Delete, Trace, Connect };

// One call. The defaults of the members are what a caller gets by not supplying a field; only for
// `cookies` does it matter whether it was supplied at all, so that one is optional.
struct RequestOptions {
  std::string url;                         // full address, scheme included
  Method method = Method::Get;
  std::string body;                        // sent when byteBody is empty
  std::optional<std::string> cookies;      // in/out: "a=1; b=2"; rewritten by the merge
  std::string returnedCookies;             // out: cookies the response set, "a=1; b=2"
  std::string headers;                     // in/out: "Name: value" lines joined by CR LF; completed
  std::string returnedHeaders;             // out: the response headers as the component reports them
  int statusCode = 0;                      // out; 0 when no answer came (refused, unreachable, closed, too late)
  bool noRedirect = false;                 // true switches automatic redirection off
  text::Bytes byteBody;                    // takes precedence over body when not empty
  std::string proxy;                       // "host:port"; empty means no proxy setting
  int timeoutSeconds = 0;                  // -1 leaves the component's own; below 1 means 15 s. Each phase
                                           // has it as its timeout, and the whole exchange as its deadline
  std::string proxyUser;
  std::string proxyPassword;
  int credentialTarget = 1;                // SetCredentials flags: 0 server, 1 proxy (adds Proxy-Authorization)
  void* sharedRequest = nullptr;           // an IDispatch* of a component instance to reuse, or a new one
  bool autoMergeCookies = true;            // merge the submitted cookies into returnedCookies
  bool completeHeaders = true;             // add the missing default headers
  bool normalizeHeaderCase = true;         // capitalise the words of header names
  // Accepting a certificate the system does not trust would hand whatever the request carries (the
  // speech service's secret key travels in the token address) to anyone between us and the host, so
  // certificate errors are ignored only when a caller asks for it.
  bool ignoreCertificateErrors = false;
};

// Performs the exchange and returns the response body (empty when nothing was received). Raises
// nothing: a failed step leaves its value empty or zero and the routine carries on. When the component
// cannot be created no field is touched. Any thread; blocks it until the exchange has ended or its
// deadline has passed, handling the thread's window messages meanwhile.
text::Bytes sendRequest(RequestOptions& options);

// ---- The portable steps of sendRequest -------------------------------------------------------------

// "GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE", "TRACE", "CONNECT"; "GET" for any other number.
const char* methodVerb(Method method);

// The per-phase timeout in milliseconds, or -1 to leave the component's own.
int timeoutMilliseconds(int timeoutSeconds);

// Appends each missing default header ("Accept", "Referer", "Accept-Language", "User-Agent", and
// "Content-Type" for POST) with a leading CR LF; names are searched for ignoring case.
std::string completeHeaderLines(std::string_view headers, std::string_view url, Method method);

// "Basic " + Base64 of the GBK bytes of user + ":" + password.
std::string proxyAuthorizationValue(std::string_view user, std::string_view password);

// The certificate error classes the component can be told to ignore: untrusted authority, wrong usage,
// invalid common name, invalid date.
inline constexpr int kAllCertificateErrors = 0x3300;
// TLS 1.0, 1.1 and 1.2: Windows 7's WinHTTP offers only TLS 1.0 unless asked.
inline constexpr int kSecureProtocols = 0x0080 | 0x0200 | 0x0800;

struct HeaderCall {
  std::string name, value;
  bool operator==(const HeaderCall&) const = default;
};

// Everything sendRequest tells the component, worked out from the options in the order of the calls.
struct RequestPlan {
  std::string verb;
  int timeoutMs = -1;                      // -1: no SetTimeouts call
  std::string proxy;                       // empty: no SetProxy call
  bool disableRedirects = false;           // Option 6 = 0
  int certificateErrorsToIgnore = 0;       // Option 4, set only when not 0
  bool setCredentials = false;             // SetCredentials(proxyUser, proxyPassword, credentialTarget)
  std::vector<HeaderCall> headerCalls;     // SetRequestHeader calls, in order
  bool sendBytes = false;                  // Send(byteBody) rather than Send(body)
};

// Works out the calls, rewriting the caller's `headers` (completed, normalised) and `cookies` (every
// "Cookie:" removed) as the exchange does.
RequestPlan planRequest(RequestOptions& options);

// The cookies of the Set-Cookie lines of a response header text, "a=1; b=2".
std::string setCookiesOf(std::string_view responseHeaders);

// Fills returnedCookies from returnedHeaders and, when asked to, merges the submitted cookies into it
// and into the caller's `cookies`.
void takeResponseCookies(RequestOptions& options);

// ---- Text routines ---------------------------------------------------------------------------------

// The text before the first `separator` (case-sensitive); empty when it does not occur.
std::string textBefore(std::string_view text, std::string_view separator);

// The text between the first `left` at or after `start` (1-based) and the next `right` after it; empty
// when either is missing. In both markers "#引号" stands for a double quote.
std::string textBetween(std::string_view text, std::string_view left, std::string_view right, int start = 1,
                        bool ignoreCase = false);

// Trimmed text before and after the first ":" of a header line; empty when there is none.
std::string headerName(std::string_view line);
std::string headerValue(std::string_view line);

// Capitalises every dash-separated word of each header name (first byte only) and drops the lines
// without a ":", empty ones included; the lines are joined with CR LF.
std::string normalizeHeaderNames(std::string_view headers);

// The trimmed text before the first "=" of a cookie, or the whole cookie trimmed.
std::string cookieName(std::string_view cookie);

// Received cookies first, then each submitted one whose name is not taken yet; "name=deleted" entries
// are dropped, and exact repeats.
std::string mergeCookies(std::string_view oldCookies, std::string_view newCookies);

// The entries of `text` between separators, each exact entry once, in order.
std::string removeDuplicateEntries(std::string_view text, std::string_view separator);

}  // namespace web
