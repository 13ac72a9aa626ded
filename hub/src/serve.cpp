// The hub's wiring: the store and its thread, the event loop with the counters and the phone side on it,
// the clocks that drive them, and a clean end.
#include "serve.h"

#include <sys/resource.h>

#include <filesystem>

#include "accounts/logins.h"
#include "common/address.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/metrics.h"
#include "common/pool.h"
#include "counter/counters.h"
#include "net/edge.h"
#include "page/page.h"
#include "phone/intake.h"
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

  std::unique_ptr<store::Store> opened;
  store::ServerInfo info;
  std::int64_t revision = 0;
  try {
    opened = store::openStore(config.database, config.data);
    info = opened->serverInfo();
    revision = opened->revision();
  } catch (const store::Unavailable& e) {
    log::error("cannot start", {{"reason", e.what()}});
    return 1;
  }

  metrics::Metrics metrics;
  net::Server server(edgeLimits(config), metrics);
  auto toLoop = [&server](std::function<void()> work) { server.post(std::move(work)); };
  WorkPool hashing(config.hashThreads);
  store::Executor executor(std::move(opened), toLoop);
  accounts::Logins logins(config.loginFailures, config.loginWindow * 1000LL, executor, hashing, toLoop);
  counter::Counters counters({*zone, config.registrationOpen, config.offlineAfter * 1000LL, config.loginWindow * 1000LL},
                             info, executor, logins, hashing, toLoop, metrics);
  page::Page page({*zone, config.offlineAfter * 1000LL, config.publicUrl}, executor, logins, hashing, toLoop);
  // The one place the hub learns of a stored payment, and it reaches the counters and the open pages alike.
  auto paymentStored = [&](const store::Bill& bill) {
    counters.paymentStored(bill);
    page.paymentStored(bill);
  };
  // On a server that several nodes share, every node hears every bill from the server, its own too: each
  // is pushed from there, once, so the phone side does not push what it stores.
  const bool shared = store::isPostgres(config.database);
  phone::Intake intake({*zone, config.dedupeWindow * 1000LL, config.ratePerSecond, config.rateBurst}, executor,
                       counters, shared ? std::function<void(const store::Bill&)>([](const store::Bill&) {})
                                        : std::function<void(const store::Bill&)>(paymentStored),
                       metrics);
  std::unique_ptr<store::Watch> watch;
  if (shared)
    watch = store::watchPostgres(
        config.database,
        {.bill = [&](const store::Bill& bill) { server.post([&paymentStored, bill] { paymentStored(bill); }); },
         .phone = [&](std::int64_t id, clock::Millis at) {
           server.post([&counters, id, at] { counters.phoneReported(id, at); });
         }});

  net::Handlers handlers;
  handlers.counterOpened = [&](const auto& link) { counters.opened(link); };
  handlers.counterText = [&](const auto& link, std::string text) { counters.text(link, std::move(text)); };
  handlers.counterClosed = [&](const auto& link) { counters.closed(link); };
  handlers.http = [&](net::HttpRequest request, net::Reply reply) {
    if (page::Page::owns(request.path))
      page.handle(std::move(request), std::move(reply));
    else
      intake.handle(std::move(request), std::move(reply));
  };
  std::string bound, tlsBound;
  try {
    if (!config.tlsListen.empty()) {
      if (config.tlsCertificate.empty() || config.tlsKey.empty())
        throw std::runtime_error("tls_listen needs tls_certificate and tls_key");
      tlsBound = server.listenTls(config.tlsListen, {config.tlsCertificate, config.tlsKey}, handlers);
    }
    bound = server.listen(config.listen, std::move(handlers));
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
                          {"timezone", config.timezone}});

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
        [&, seen](bool committed) {
          polling = false;
          if (!committed || seen->revision == revision) return;
          revision = seen->revision;
          counters.serverInfoChanged(seen->info);
          for (const auto& [id, hash] : seen->stale) counters.logOut(id, hash);
        });
  };
  server.every(std::chrono::seconds(1), [&] {
    const clock::Millis now = clock::now();
    counters.tick(now);
    logins.tick(now);
    intake.tick(now);
    page.tick(now);
    poll();
  });

  // A clean end: no new connections, counters told the hub is going away (they come back, to another
  // node behind a balancer), requests already taken answered, then out.
  clock::Millis stopping = 0;
  server.onStopSignal([&] {
    log::info("stopping");
    stopping = clock::now();
    server.stopAccepting();
    counters.closeAll(net::CloseCode::goingAway);
    page.stop();
  });
  server.every(std::chrono::milliseconds(50), [&] {
    if (stopping == 0) return;
    if ((intake.inFlight() == 0 && server.openConnections() == 0) || clock::now() - stopping > kStopGrace)
      server.stop();
  });

  server.run();
  watch.reset();  // before the loop it posts to goes
  log::info("stopped");
  return 0;
}

}  // namespace hub
