#include "speech/service.h"

#include <csignal>

#include "common/log.h"
#include "speech/synthesis.h"

namespace hub::speech {

namespace {
constexpr std::string_view kTokenPath = "/oauth/2.0/token";
constexpr std::string_view kSynthesisPath = "/text2audio";
constexpr int kWorkers = 4;
}  // namespace

std::unique_ptr<Engine> engineOf(EngineChoice choice) {
  if (choice.name == "baidu") return baiduEngine(std::move(choice.baidu));
  if (choice.name == "command") {
    // A program that ends before reading the whole sentence must not end the hub with it.
    std::signal(SIGPIPE, SIG_IGN);
    return commandEngine(std::move(choice.command), choice.commandDeadline);
  }
  return nullptr;
}

Speech::Speech(Settings settings, std::string tokenKey, Serves serves, Post toLoop, metrics::Metrics& metrics)
    : settings_(std::move(settings)),
      tokens_(std::move(tokenKey)),
      serves_(std::move(serves)),
      toLoop_(std::move(toLoop)),
      metrics_(metrics),
      cache_(settings_.cacheDirectory, settings_.cacheBytes),
      rate_(settings_.ratePerSecond, settings_.rateBurst),
      workers_(kWorkers) {}

Speech::~Speech() { *alive_ = false; }

bool Speech::owns(std::string_view path) { return path == kTokenPath || path == kSynthesisPath; }

void Speech::handle(const net::HttpRequest& request, net::Reply reply) {
  // Not the service's address: answered as the hub answers any address it does not know.
  if (!owns(request.path)) return reply(net::notFound());
  if (!settings_.engine) {
    ++metrics_.speechError;
    return reply(refusal(kEngineFailed, "speech is off on this server"));
  }
  if (request.path == kTokenPath) return reply(answerToken(request, settings_.client, tokens_, clock::now()));
  synthesise(request, std::move(reply));
}

void Speech::synthesise(const net::HttpRequest& request, net::Reply reply) {
  auto refuse = [&](Refusal number, std::string_view message) {
    ++metrics_.speechError;
    reply(refusal(number, message));
  };
  Sentence sentence;
  try {
    sentence = readSentence(request);
  } catch (const Refused& refused) {
    return refuse(static_cast<Refusal>(refused.status), refused.what());
  }
  const clock::Millis now = clock::now();
  if (!tokens_.valid(sentence.token, now)) return refuse(kBadToken, "access token invalid or no longer valid");
  // The engine's quota is the provider's: only the hub's own counters spend it.
  if (!serves_(request.address, now)) return refuse(kBadToken, "no counter of this server at this address");
  if (!rate_.take(request.address, now)) return refuse(kBadToken, "too many requests from this address");

  const std::string key = Cache::keyOf(settings_.engine->name(), sentence.per, sentence.text);
  if (auto found = cache_.find(key)) {
    ++metrics_.speechCache;
    return reply(audio(std::move(*found)));
  }
  auto& waiting = waiting_[key];
  waiting.push_back(std::move(reply));
  if (waiting.size() > 1) return;
  workers_.run([this, alive = alive_, key, text = std::move(sentence.text), per = sentence.per] {
    Rendering r = settings_.engine->render(text, per);
    toLoop_([this, alive, key, r = std::move(r)]() mutable {
      if (*alive) rendered(key, std::move(r));
    });
  });
}

void Speech::rendered(const std::string& key, Rendering rendering) {
  auto waiting = std::move(waiting_[key]);
  waiting_.erase(key);
  if (!rendering.ok) {
    log::warn("speech engine failed", {{"engine", settings_.engine->name()}, {"reason", rendering.reason}});
    trouble_ = rendering.reason;
    metrics_.speechError += waiting.size();
    for (auto& reply : waiting) reply(refusal(kEngineFailed, "speech engine failed: " + rendering.reason));
    return;
  }
  trouble_.clear();
  cache_.put(key, rendering.audio);
  metrics_.speechEngine += waiting.size();
  for (auto& reply : waiting) reply(audio(rendering.audio));
}

void Speech::tick(clock::Millis now) { rate_.sweep(now); }

}  // namespace hub::speech
