// The hub's wiring: the store and its thread, the event loop with the counters and the phone side on it,
// the clocks that drive them, and a clean end.
#include "serve.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "accounts/logins.h"
#include "accounts/secrets.h"
#include "common/address.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/metrics.h"
#include "common/pool.h"
#include "counter/counters.h"
#include "net/edge.h"
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

// How long a clean end waits for requests in flight before it stops anyway.
constexpr clock::Millis kStopGrace = 10'000;

}  // namespace

int serve(const Config& config) {
  const auto zone = clock::zoneNamed(config.timezone);
  if (!zone) {
    log::error("cannot start", {{"reason", "unknown time zone " + config.timezone}});
    return 1;
  }
  raiseDescriptorLimit();
  recognise::Rules rules;
  try {
    rules = recognise::loadRules(config.rulesFile);
  } catch (const std::exception& e) {
    log::error("cannot start", {{"reason", std::string("rules: ") + e.what()}});
    return 1;
  }
  const size_t ruleCount = rules.list.size();

  std::unique_ptr<store::Store> opened;
  store::ServerInfo info;
  std::int64_t revision = 0;
  std::string speechKey;  // signs the speech tokens, the same on every node of the store
  try {
    opened = store::openStore(config.database, config.data);
    info = opened->serverInfo();
    revision = opened->revision();
    speechKey = opened->sharedSecret("speech tokens", accounts::newIntakeKey() + accounts::newIntakeKey());
  } catch (const store::Unavailable& e) {
    log::error("cannot start", {{"reason", e.what()}});
    return 1;
  }

  if (!store::isPostgres(config.database)) warnIfOpenToOthers(config.data);

  metrics::Metrics metrics;
  net::Loop loop;
  auto toLoop = [&loop](std::function<void()> work) { loop.post(std::move(work)); };
  WorkPool hashing(config.hashThreads);
  store::Executor executor(std::move(opened), toLoop, static_cast<std::size_t>(config.storeQueue));
  accounts::Logins logins({.failures = config.loginFailures,
                           .window = config.loginWindow * 1000LL,
                           .knownFor = config.loginKnownDays * 24LL * 3600 * 1000,
                           .queue = static_cast<std::size_t>(config.loginQueue),
                           .queuePerAddress = static_cast<std::size_t>(std::max(config.loginQueue / 8, 1))},
                          executor, hashing, toLoop, metrics);
  counter::Counters counters({*zone, config.registrationOpen, config.offlineAfter * 1000LL, config.loginWindow * 1000LL,
                              config.historyBills},
                             info, executor, logins, hashing, toLoop, metrics);
  // The counters' speech service (declared before the page, which shows its trouble).
  speech::Speech speech(
      {.client = {config.speechClientId, config.speechClientSecret},
       .engine = speech::engineOf({.name = config.speechEngine,
                                   .baidu = {config.baiduApiKey, config.baiduSecretKey, config.baiduTokenUrl,
                                             config.baiduTtsUrl, config.speechCaFile},
                                   .command = config.speechCommand,
                                   .commandDeadline = std::chrono::seconds(config.speechCommandSeconds)}),
       .cacheDirectory = config.data / "speech-cache",
       .cacheBytes = static_cast<std::uintmax_t>(config.speechCacheMb) << 20,
       .ratePerSecond = config.speechRatePerSecond,
       .rateBurst = config.speechRateBurst},
      std::move(speechKey),
      [&counters](const std::string& address, clock::Millis now) { return counters.loggedInFrom(address, now); },
      toLoop, metrics);
  // The one place the hub learns of a stored payment, and it reaches the counters and the open pages alike.
  std::function<void(const store::Bill&)> paymentStored;
  // On a server that several nodes share, every node hears every bill from the server, its own too: each
  // is pushed from there, once, so neither the phone side nor the page pushes what it stores.
  const bool shared = store::isPostgres(config.database);
  auto stored = [&](const store::Bill& bill) {
    if (!shared) paymentStored(bill);
  };
  page::Page page({*zone, config.offlineAfter * 1000LL, config.publicUrl, [&speech] { return speech.trouble(); }}, executor, logins, hashing, toLoop, stored);
  paymentStored = [&](const store::Bill& bill) {
    counters.paymentStored(bill);
    page.paymentStored(bill);
  };
  phone::Intake intake({*zone, config.dedupeWindow * 1000LL, config.ratePerSecond, config.rateBurst}, executor,
                       counters, stored, metrics, std::move(rules));
  // SIGHUP reads the operator's rules again; a file that cannot be used leaves the rules in use as they are.
  loop.onHangup([&] {
    try {
      recognise::Rules fresh = recognise::loadRules(config.rulesFile);
      log::info("rules reloaded", {{"rules", std::to_string(fresh.list.size())}});
      intake.setRules(std::move(fresh));
    } catch (const std::exception& e) {
      log::warn("rules not reloaded, the old ones kept", {{"reason", e.what()}});
    }
  });
  std::unique_ptr<store::Watch> watch;
  if (shared)
    watch = store::watchPostgres(
        config.database,
        {.bill = [&](const store::Bill& bill) { loop.post([&paymentStored, bill] { paymentStored(bill); }); },
         .phone = [&](std::int64_t id, clock::Millis at) {
           loop.post([&counters, id, at] { counters.phoneReported(id, at); });
         }});

  // A node that does not hear the server's notifications would take counters it pushes nothing to, and
  // take the bills committed meanwhile for history: it serves only once its watch listens.
  if (watch && !watch->listening()) {
    log::warn("waiting for store notifications before serving");
    while (!watch->listening()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  net::Handlers handlers;
  handlers.counterOpened = [&](const auto& link) { counters.opened(link); };
  handlers.counterText = [&](const auto& link, std::string text) { counters.text(link, std::move(text)); };
  handlers.counterClosed = [&](const auto& link) { counters.closed(link); };
  handlers.http = [&](net::HttpRequest request, net::Reply reply) {
    if (page::Page::owns(request.path))
      page.handle(std::move(request), std::move(reply));
    else if (speech::Speech::owns(request.path))
      speech.handle(request, std::move(reply));
    else
      intake.handle(std::move(request), std::move(reply));
  };
  net::Server server(loop, edgeLimits(config), metrics, std::move(handlers));
  std::string bound, tlsBound;
  try {
    if (!config.tlsListen.empty()) {
      if (config.tlsCertificate.empty() || config.tlsKey.empty())
        throw std::runtime_error("tls_listen needs tls_certificate and tls_key");
      tlsBound = server.listenTls(config.tlsListen, {config.tlsCertificate, config.tlsKey});
    }
    bound = server.listen(config.listen);
    if (!config.metricsListen.empty())
      log::info("listening metrics", {{"address", server.listenMetrics(config.metricsListen)}});
  } catch (const std::exception& e) {
    log::error("cannot start", {{"reason", e.what()}});
    return 1;
  }
  if (!tlsBound.empty())
    log::info("listening tls", {{"address", tlsBound}, {"certificate", config.tlsCertificate.string()}});
  log::info("listening", {{"address", bound},
                          {"store", shared ? "postgresql" : (config.data / "hub.sqlite3").string()},
                          {"timezone", config.timezone},
                          {"rules", std::to_string(ruleCount)}});

  // The operator's command line changes the store from another process: a moved revision says to read
  // the server information and the logged-in accounts again (disabled, or given a new password).
  bool polling = false;
  auto poll = [&] {
    if (polling) return;
    polling = true;
    struct Seen {
      std::int64_t revision = 0;
      store::ServerInfo info;
      std::vector<std::pair<std::int64_t, std::string>> stale;  // account, the hash its counters logged in with
    };
    auto seen = std::make_shared<Seen>();
    auto loggedIn = counters.loggedInAccounts();
    const std::uint64_t attaches = counters.attaches();
    intake.polling(clock::now());
    executor.run(
        [seen, loggedIn, known = revision](store::Store& st) {
          seen->revision = st.revision();
          if (seen->revision == known) return;
          seen->info = st.serverInfo();
          for (const auto& [id, hash] : loggedIn) {
            const auto account = st.accountById(id);
            if (!account || account->disabled || account->passwordHash != hash) seen->stale.emplace_back(id, hash);
          }
        },
        [&, seen, attaches](bool committed) {
          polling = false;
          if (!committed) ++metrics.storeErrors;
          intake.polled(!committed                               ? "store not available"
                        : watch && !watch->listening() ? "store notifications not listening"
                                                                 : "");
          if (!committed || seen->revision == revision) return;
          counters.serverInfoChanged(seen->info);
          for (const auto& [id, hash] : seen->stale) counters.logOut(id, hash);
          // A counter that logged in while this poll was under way was not in its list: the next poll
          // looks again rather than take this revision as seen.
          if (counters.attaches() == attaches) revision = seen->revision;
        });
  };
  loop.every(std::chrono::seconds(1), [&] {
    const clock::Millis now = clock::now();
    counters.tick(now);
    logins.tick(now);
    intake.tick(now);
    page.tick(now);
    speech.tick(now);
    poll();
  });

  // A clean end: no new connections, counters told the hub is going away (they come back, to another
  // node behind a balancer), requests already taken answered, then out.
  clock::Millis stopping = 0;
  loop.onStopSignal([&] {
    log::info("stopping");
    stopping = clock::now();
    server.stopAccepting();
    counters.closeAll(net::CloseCode::goingAway);
    page.stop();
  });
  loop.every(std::chrono::milliseconds(50), [&] {
    if (stopping == 0) return;
    if ((intake.inFlight() == 0 && server.openConnections() == 0) || clock::now() - stopping > kStopGrace)
      loop.stop();
  });

  loop.run();
  watch.reset();  // before the loop it posts to goes
  log::info("stopped");
  return 0;
}

}  // namespace hub
