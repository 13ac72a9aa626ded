// The page and the speech service answer an address that is not theirs themselves, whoever hands it on.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>

#include "accounts/logins.h"
#include "page/page.h"
#include "speech/service.h"
#include "store/executor.h"

namespace hub {
namespace {

struct Scratch {
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kassaro-routers-XXXXXX").string();
    dir = mkdtemp(pattern.data());
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
  std::filesystem::path dir;
};

net::HttpRequest get(std::string path) {
  net::HttpRequest r;
  r.method = "GET";
  r.path = std::move(path);
  r.address = "127.0.0.1";
  return r;
}

// The one answer a router gave, on this thread.
std::optional<net::HttpResponse> answerOf(const std::function<void(net::Reply)>& ask) {
  std::optional<net::HttpResponse> answer;
  ask([&answer](net::HttpResponse r) { answer = std::move(r); });
  return answer;
}

TEST(Routers, AnswerAnAddressTheyDoNotOwnWithNotFound) {
  Scratch scratch;
  metrics::Metrics metrics;
  WorkPool hashing(1);
  const auto here = [](std::function<void()> work) { work(); };
  store::Executor executor(store::openSqlite(scratch.dir / "hub.db"), here);
  accounts::Logins logins({}, executor, hashing, here, metrics);
  page::Page page({clock::zoneNamed("Asia/Shanghai").value(), 180'000, "", {}}, executor, logins, hashing, here,
                  [](const store::Bill&) {});
  speech::Speech speech({}, "key", [](const std::string&, clock::Millis) { return true; }, here, metrics);

  for (const std::string path : {"/api/notify", "/oauth/2.0/token/more", "/day/"}) {
    const auto fromPage = answerOf([&](net::Reply reply) { page.handle(get(path), std::move(reply)); });
    ASSERT_TRUE(fromPage) << path;
    EXPECT_EQ(fromPage->status, 404) << path;
    EXPECT_EQ(fromPage->body, R"({"ok":false,"error":"not found"})");
    if (path == "/day/") continue;  // the page's, close to one of its own
    const auto fromSpeech = answerOf([&](net::Reply reply) { speech.handle(get(path), std::move(reply)); });
    ASSERT_TRUE(fromSpeech) << path;
    EXPECT_EQ(fromSpeech->status, 404) << path;
    EXPECT_EQ(fromSpeech->contentType, "application/json");
  }
  // Their own addresses are still theirs: a page without a session asks to sign in.
  const auto signIn = answerOf([&](net::Reply reply) { page.handle(get("/day"), std::move(reply)); });
  ASSERT_TRUE(signIn);
  EXPECT_EQ(signIn->status, 200);
}

}  // namespace
}  // namespace hub
