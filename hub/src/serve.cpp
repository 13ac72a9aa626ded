// The hub's wiring: the store and its thread, the event loop with the counters, the page, the speech
// service and the phone side on it, the clocks that drive them, the operator watch and a clean end.
#include "serve.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>

#include "accounts/logins.h"
#include "accounts/secrets.h"
#include "common/address.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/metrics.h"
#include "common/failure.h"
#include "common/pool.h"
#include "counter/counters.h"
#include "net/edge.h"
#include "clean_stop.h"
#include "operator_watch.h"
#include "ops.h"
#include "page/page.h"
#include "phone/intake.h"
#include "recognise/rules_file.h"
#include "speech/service.h"
#include "store/executor.h"

namespace hub {
namespace {

// Thousands of counters need as many descriptors: take all the system allows this process.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The store's files hold the intake keys and the password hashes: a data directory or a file that others
// may read is worth a warning at every start (files made before the hub set its umask, a copied folder).
void warnIfOpenToOthers(const std::filesystem::path& data) {
  namespace fs = std::filesystem;
  for (const fs::path& path : {data, data / "hub.sqlite3", data / "hub.sqlite3-wal", data / "hub.sqlite3-shm"}) {
    std::error_code ec;
    const fs::perms perms = fs::status(path, ec).permissions();
    if (ec || !fs::exists(path, ec)) continue;
    if ((perms & (fs::perms::others_read | fs::perms::others_write)) != fs::perms::none) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(perms & fs::perms::mask));
      log::warn("store readable by others", {{"path", path.string()}, {"mode", mode}});
    }
  }
}

net::Limits edgeLimits(const Config& config) {
  net::Limits limits;
  limits.maxMessageBytes = config.maxMessageBytes;
  limits.maxBodyBytes = config.maxBodyBytes;
  limits.pingInterval = std::chrono::seconds(config.pingInterval);
  limits.maxConnections = config.maxConnections;
  limits.maxConnectionsPerAddress = config.maxConnectionsPerAddress;
  limits.loginDeadline = std::chrono::seconds(config.loginDeadline);
  for (const auto& proxy : config.trustedProxies) limits.trustedProxies.push_back(*address::parseBlock(proxy));
  limits.allowedOrigins = config.allowedOrigins;
  return limits;
}

accounts::LoginLimits loginLimits(const Config& config) {
  return {.failures = config.loginFailures,
          .window = config.loginWindow * 1000LL,
          .knownFor = config.loginKnownDays * 24LL * 3600 * 1000,
          .queue = static_cast<std::size_t>(config.loginQueue),
          .queuePerAddress = static_cast<std::size_t>(std::max(config.loginQueue / 8, 1))};
}

counter::Settings counterSettings(const Config& config, clock::Zone zone) {
  return {zone, config.registrationOpen, config.offlineAfter * 1000LL, config.loginWindow * 1000LL,
          config.historyBills};
}

speech::Settings speechSettings(const Config& config) {
  return {.client = {config.speechClientId, config.speechClientSecret},
          .engine = speech::engineOf({.name = config.speechEngine,
                                      .baidu = {config.baiduApiKey, config.baiduSecretKey, config.baiduTokenUrl,
                                                config.baiduTtsUrl, config.speechCaFile},
                                      .command = config.speechCommand,
                                      .commandDeadline = std::chrono::seconds(config.speechCommandSeconds)}),
          .cacheDirectory = config.data / "speech-cache",
          .cacheBytes = static_cast<std::uintmax_t>(config.speechCacheMb) << 20,
          .ratePerSecond = config.speechRatePerSecond,
          .rateBurst = config.speechRateBurst};
}

// What the hub must have before it builds anything: without any of it, it does not start.
struct Opening {
  clock::Zone zone;
  recognise::Rules rules;
  std::unique_ptr<store::Store> store;
  store::ServerInfo info;
  std::int64_t revision = 0;
  std::string speechKey;  // signs the speech tokens, the same on every node of the store
};

// Throws Refused (the configuration's fault) or Failure with the reason the hub cannot start.
Opening prepare(const Config& config) {
  Opening o;
  o.zone = zoneOf(config);
  raiseDescriptorLimit();
  try {
    o.rules = recognise::loadRules(config.rulesFile);
  } catch (const Failure& e) {
    throw Failure(std::string("rules: ") + e.what());
  }
  // The store's own failures are Failures already (store::Unavailable), with the engine's words.
  o.store = store::openStore(config.database, config.data);
  o.info = o.store->serverInfo();
  o.revision = o.store->revision();
  o.speechKey = o.store->sharedSecret("speech tokens", accounts::newIntakeKey() + accounts::newIntakeKey());
  if (!store::isPostgres(config.database)) warnIfOpenToOthers(config.data);
  return o;
}

// SIGHUP reads the operator's rules again; a file that cannot be used leaves the rules in use as they are.
void reloadRules(const std::filesystem::path& file, phone::Intake& intake) {
  try {
    recognise::Rules fresh = recognise::loadRules(file);
    log::info("rules reloaded", {{"rules", std::to_string(fresh.list.size())}});
    intake.setRules(std::move(fresh));
  } catch (const Failure& e) {
    log::warn("rules not reloaded, the old ones kept", {{"reason", e.what()}});
  }
}

// On a store server that several nodes share, what other nodes (and this one) commit is heard from the
// server's notifications, and carried to the loop.
std::unique_ptr<store::Watch> watchStore(const std::string& database, net::Loop& loop,
                                         const std::function<void(const store::Bill&)>& paymentStored,
                                         counter::Counters& counters) {
  auto watch = store::watchPostgres(
      database,
      {.bill = [&](const store::Bill& bill) { loop.post([&paymentStored, bill] { paymentStored(bill); }); },
       .phone = [&](std::int64_t id, clock::Millis at) {
         loop.post([&counters, id, at] { counters.phoneReported(id, at); });
       }});
  // A node that does not hear the server's notifications would take counters it pushes nothing to, and
  // take the bills committed meanwhile for history: it serves only once its watch listens.
  if (!watch->listening()) {
    log::warn("waiting for store notifications before serving");
    while (!watch->listening()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return watch;
}

// Every request to its owner; the phone intake answers what no one else owns.
net::Handlers handlersFor(counter::Counters& counters, page::Page& page, speech::Speech& speech, OpsRoutes& ops,
                          phone::Intake& intake) {
  net::Handlers handlers;
  handlers.counterOpened = [&](const auto& link) { counters.opened(link); };
  handlers.counterText = [&](const auto& link, std::string text) { counters.text(link, std::move(text)); };
  handlers.counterClosed = [&](const auto& link) { counters.closed(link); };
  handlers.http = [&](net::HttpRequest request, net::Reply reply) {
    if (page::Page::owns(request.path))
      page.handle(std::move(request), std::move(reply));
    else if (speech::Speech::owns(request.path))
      speech.handle(request, std::move(reply));
    else if (OpsRoutes::owns(request.path))
      ops.handle(request, std::move(reply));
    else
      intake.handle(std::move(request), std::move(reply));
  };
  return handlers;
}

// Listens on every address the configuration names and says where. Throws Refused or Failure with a
// one-line reason (bad address, in use, not permitted).
void listenAll(const Config& config, net::Server& server, std::size_t ruleCount) {
  std::string tlsBound;
  if (!config.tlsListen.empty()) {
    if (config.tlsCertificate.empty() || config.tlsKey.empty())
      throw Refused(2, "tls_listen needs tls_certificate and tls_key");
    tlsBound = server.listenTls(config.tlsListen, {config.tlsCertificate, config.tlsKey});
  }
  const std::string bound = server.listen(config.listen);
  if (!config.metricsListen.empty())
    log::info("listening metrics", {{"address", server.listenMetrics(config.metricsListen)}});
  if (!tlsBound.empty())
    log::info("listening tls", {{"address", tlsBound}, {"certificate", config.tlsCertificate.string()}});
  log::info("listening", {{"address", bound},
                          {"store", store::isPostgres(config.database) ? "postgresql"
                                                                       : (config.data / "hub.sqlite3").string()},
                          {"timezone", config.timezone},
                          {"rules", std::to_string(ruleCount)}});
}

// A hub that cannot start exits 1, whoever's the fault; the log line says why.
int cannotStart(const std::exception& e) {
  log::error("cannot start", {{"reason", e.what()}});
  return 1;
}

}  // namespace

int serve(const Config& config) {
  std::optional<Opening> opened;
  try {
    opened = prepare(config);
  } catch (const Refused& e) {
    return cannotStart(e);
  } catch (const Failure& e) {
    return cannotStart(e);
  }
  const std::size_t ruleCount = opened->rules.list.size();
  const bool shared = store::isPostgres(config.database);

  metrics::Metrics metrics;
  net::Loop loop;  // first, so that it goes last: whatever it still holds finds the rest there
  auto toLoop = [&loop](std::function<void()> work) { loop.post(std::move(work)); };
  WorkPool hashing(config.hashThreads);
  store::Executor executor(std::move(opened->store), toLoop, static_cast<std::size_t>(config.storeQueue));
  accounts::Logins logins(loginLimits(config), executor, hashing, toLoop, metrics);
  counter::Counters counters(counterSettings(config, opened->zone), opened->info, executor, logins, hashing, toLoop,
                             metrics);
  // The counters' speech service (declared before the page, which shows its trouble).
  speech::Speech speech(
      speechSettings(config), std::move(opened->speechKey),
      [&counters](const std::string& address, clock::Millis now) { return counters.loggedInFrom(address, now); },
      toLoop, metrics);
  // The one place the hub learns of a stored payment, and it reaches the counters and the open pages alike.
  std::function<void(const store::Bill&)> paymentStored;
  // On a server that several nodes share, every node hears every bill from the server, its own too: each
  // is pushed from there, once, so neither the phone side nor the page pushes what it stores.
  auto stored = [&](const store::Bill& bill) {
    if (!shared) paymentStored(bill);
  };
  page::Page page(
      {opened->zone, config.offlineAfter * 1000LL, config.publicUrl, [&speech] { return speech.trouble(); }},
      executor, logins, hashing, toLoop, stored);
  paymentStored = [&](const store::Bill& bill) {
    counters.paymentStored(bill);
    page.paymentStored(bill);
  };
  phone::Intake intake({opened->zone, config.dedupeWindow * 1000LL, config.ratePerSecond, config.rateBurst}, executor,
                       counters, stored, metrics, std::move(opened->rules));
  loop.onHangup([&] { reloadRules(config.rulesFile, intake); });
  std::unique_ptr<store::Watch> watch = shared ? watchStore(config.database, loop, paymentStored, counters) : nullptr;
  OperatorWatch operatorWatch(executor, counters, metrics, opened->revision, watch.get());
  OpsRoutes ops(metrics, operatorWatch);

  net::Server server(loop, edgeLimits(config), metrics, handlersFor(counters, page, speech, ops, intake));
  try {
    listenAll(config, server, ruleCount);
  } catch (const Refused& e) {
    return cannotStart(e);
  } catch (const Failure& e) {
    return cannotStart(e);
  }
  loop.every(std::chrono::seconds(1), [&] {
    const clock::Millis now = clock::now();
    counters.tick(now);
    logins.tick(now);
    intake.tick(now);
    page.tick(now);
    speech.tick(now);
    operatorWatch.poll();
  });
  stopCleanlyOnSignal(
      loop, server,
      [&] {
        counters.closeAll(net::CloseCode::goingAway);
        page.stop();
      },
      [&intake] { return intake.inFlight(); });

  loop.run();
  watch.reset();  // before the loop it posts to goes
  log::info("stopped");
  return 0;
}

}  // namespace hub
