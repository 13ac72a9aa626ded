// The request routine through the real WinHttpRequest component under Wine, against the local peer:
// what goes on the wire, what comes back, and the component library's balance on the calling thread.
#include <gtest/gtest.h>

#include <objbase.h>

#include "peer.h"
#include "web/http_request.h"

namespace {

const std::string kEcho = "http://127.0.0.1:9080/echo";

class RequestExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    peer::setMode("normal");
    peer::clearLog();
  }
  void TearDown() override { peer::setMode("normal"); }

  static peer::Request onlyRequest() {
    const auto all = peer::requests();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? peer::Request() : all.back();
  }
};

TEST_F(RequestExchange, PostBodiesTextAndBytes) {
  web::RequestOptions text;
  text.url = kEcho;
  text.method = web::Method::Post;
  text.body = "a=1&b=2";
  const text::Bytes echoed = web::sendRequest(text);
  EXPECT_EQ(onlyRequest().header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(text.statusCode, 200);
  EXPECT_NE(text.returnedHeaders.find("Content-Length: " + std::to_string(echoed.size())), std::string::npos);
  EXPECT_EQ(echoed.substr(0, 21), "POST /echo HTTP/1.1\r\n");
  EXPECT_EQ(echoed.substr(echoed.size() - 7), "a=1&b=2");

  peer::clearLog();
  web::RequestOptions bytes;
  bytes.url = kEcho;
  bytes.method = web::Method::Put;
  bytes.body = "ignored";
  bytes.byteBody = std::string("\x00\x01\xFF\xFE zero", 9);
  const text::Bytes echoedBytes = web::sendRequest(bytes);
  EXPECT_EQ(onlyRequest().line, "PUT /echo HTTP/1.1");
  EXPECT_EQ(echoedBytes.substr(echoedBytes.size() - 9), bytes.byteBody);
}

TEST_F(RequestExchange, CallerHeadersAndCookies) {
  web::RequestOptions o;
  o.url = kEcho + "?cookies=1";
  o.headers = "accept: text/html\r\nx-requested-with: XMLHttpRequest";
  o.cookies = "a=1; c=3";
  web::sendRequest(o);

  const peer::Request r = onlyRequest();
  EXPECT_EQ(r.header("Accept"), "text/html");
  EXPECT_EQ(r.header("X-Requested-With"), "XMLHttpRequest");
  EXPECT_EQ(r.header("Cookie"), "a=1; c=3");
  for (const auto& [name, value] : r.headers) EXPECT_NE(name, "accept");

  // a=2 and d=4 set by the answer, c deleted by it.
  EXPECT_EQ(o.returnedCookies, "a=2; d=4");
  EXPECT_EQ(*o.cookies, "a=2; d=4");
}

TEST_F(RequestExchange, RedirectsAndStatus) {
  web::RequestOptions follow;
  follow.url = "http://127.0.0.1:9080/redirect";
  web::sendRequest(follow);
  EXPECT_EQ(follow.statusCode, 200);
  EXPECT_EQ(peer::requests().size(), 2u);

  web::RequestOptions stay;
  stay.url = "http://127.0.0.1:9080/redirect";
  stay.noRedirect = true;
  web::sendRequest(stay);
  EXPECT_EQ(stay.statusCode, 302);
  EXPECT_NE(stay.returnedHeaders.find("Location: /echo"), std::string::npos);

  web::RequestOptions missing;
  missing.url = "http://127.0.0.1:9080/status/404";
  web::sendRequest(missing);
  EXPECT_EQ(missing.statusCode, 404);
}

TEST_F(RequestExchange, FailedExchangesLeaveEmptyResultsAndNoError) {
  peer::setMode("refused");
  web::RequestOptions o;
  o.url = kEcho;
  o.returnedHeaders = "stale";
  o.statusCode = 999;
  o.cookies = "a=1; a=1";
  EXPECT_EQ(web::sendRequest(o), "");
  EXPECT_EQ(o.returnedHeaders, "");
  EXPECT_EQ(o.statusCode, 0);
  EXPECT_EQ(o.returnedCookies, "a=1");  // the submitted cookies merged with nothing
  peer::setMode("normal");

  // An address the component cannot open.
  web::RequestOptions bad;
  bad.url = "no scheme at all";
  EXPECT_EQ(web::sendRequest(bad), "");
  EXPECT_EQ(bad.statusCode, 0);
}

TEST_F(RequestExchange, SharedInstanceOutlivesTheCall) {
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(L"WinHttp.WinHttpRequest.5.1", &clsid), S_OK);
  IDispatch* shared = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&shared)),
            S_OK);
  for (int i = 0; i < 2; ++i) {
    web::RequestOptions o;
    o.url = kEcho;
    o.sharedRequest = shared;
    web::sendRequest(o);
    EXPECT_EQ(o.statusCode, 200) << i;
  }
  // The routine took and gave back its own reference only: ours is the last one.
  EXPECT_EQ(shared->Release(), 0u);
  CoUninitialize();
}

// The component library is released exactly when this call's initialisation counted.
TEST_F(RequestExchange, ComponentLibraryBalancedOnEveryThreadKind) {
  web::RequestOptions o;
  o.url = kEcho;
  std::thread([&] {
    web::sendRequest(o);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);  // not left initialised
    CoUninitialize();
  }).join();
  EXPECT_EQ(o.statusCode, 200);

  std::thread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    web::RequestOptions again;
    again.url = kEcho;
    web::sendRequest(again);  // its CoInitialize gives S_FALSE and is matched
    EXPECT_EQ(again.statusCode, 200);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);  // ours still stands
    CoUninitialize();
    CoUninitialize();
  }).join();

  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    web::RequestOptions mta;
    mta.url = kEcho;
    web::sendRequest(mta);  // RPC_E_CHANGED_MODE: nothing to release
    EXPECT_EQ(mta.statusCode, 200);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);  // still a multithreaded apartment
    CoUninitialize();
    CoUninitialize();
  }).join();
}

}  // namespace
