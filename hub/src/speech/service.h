#pragma once
// The speech service the hub gives its counters: the token endpoint and the synthesis endpoint as the
// counters have always called them, answered from the cache or the configured engine. On the event loop;
// renderings run on workers of their own.
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "accounts/throttle.h"
#include "common/clock.h"
#include "common/metrics.h"
#include "common/pool.h"
#include "net/edge.h"
#include "speech/cache.h"
#include "speech/engine.h"
#include "speech/tokens.h"

namespace hub::speech {

struct Settings {
  Client client;
  std::unique_ptr<Engine> engine;  // none: speech is off
  std::filesystem::path cacheDirectory;
  std::uintmax_t cacheBytes = 64 << 20;
  double ratePerSecond = 2;
  int rateBurst = 20;
};

class Speech {
 public:
  using Post = std::function<void(std::function<void()>)>;
  // Whether one of the hub's counters is logged in from the address, or was lately.
  using Serves = std::function<bool(const std::string& address, clock::Millis now)>;
  Speech(Settings settings, std::string tokenKey, Serves serves, Post toLoop, metrics::Metrics& metrics);
  ~Speech();

  static bool owns(std::string_view path);
  // Answers a request to the token or the synthesis address; any other path is answered 404.
  void handle(const net::HttpRequest& request, net::Reply reply);

  // The engine's last failure while it keeps failing, for the merchant's page; empty once it renders.
  const std::string& trouble() const { return trouble_; }
  void tick(clock::Millis now);

 private:
  void synthesise(const net::HttpRequest& request, net::Reply reply);
  void rendered(const std::string& key, Rendering rendering);

  Settings settings_;
  Tokens tokens_;
  Serves serves_;
  Post toLoop_;
  metrics::Metrics& metrics_;
  Cache cache_;
  accounts::RateLimit rate_;
  std::string trouble_;
  // Sentences being rendered, with every request waiting for each: one engine call a sentence.
  std::unordered_map<std::string, std::vector<net::Reply>> waiting_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  WorkPool workers_;  // last: its threads end before what they post to
};

// The engine the configuration names, or none for "off".
struct EngineChoice {
  std::string name;  // "baidu" | "command" | "off"
  BaiduAccount baidu;
  std::string command;
  std::chrono::seconds commandDeadline{10};
};
std::unique_ptr<Engine> engineOf(EngineChoice choice);

}  // namespace hub::speech
