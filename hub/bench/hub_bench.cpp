// kassaro-hub-bench: the load client behind scripts/bench-hub. Counters on WebSocket connections and a
// phone's payments on HTTP keep-alive connections, all on one io_context on one thread, so that on a
// machine of two cores the client takes as little from the hub as it can. It reports figures, never a
// verdict.
//
//   kassaro-hub-bench --out F push     --address A[,B...] --accounts FILE --hub-pid-file P [--counters N] [--rate R] [--seconds S]
//                                      [--hostile N]
//   kassaro-hub-bench --out F memory   --address A --accounts FILE --hub-pid-file P [--stages 1000,10000]
//   kassaro-hub-bench --out F relogin  --address A --accounts FILE --hub-pid-file P [--counters N] [--bills N]
//   kassaro-hub-bench --out F password [--runs N]
//
// FILE holds one account a line: name, password and intake key, separated by blanks. P holds the hub's
// process id; the relogin scenario stops the hub and reads P again once it listens anew. Given several
// addresses, nodes of one hub on one database, the push scenario spreads its counters and its phone's
// connections over them in turn, so that most payments reach some of their counters through another node;
// P is then the first node's, and the hub CPU figure is that node's.
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "accounts/secrets.h"
#include "common/channel.h"
#include "common/money.h"
#include "counter/protocol.h"

namespace bench {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace json = boost::json;
namespace protocol = hub::counter::protocol;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
template <typename T = void>
using Task = asio::awaitable<T>;
// Every wait gives its error code back instead of throwing: a refused or dropped connection is a figure.
constexpr auto tuple = asio::as_tuple(asio::use_awaitable);

struct Account {
  std::string name, password, key;
};

struct Target {
  tcp::endpoint endpoint;
  std::string host;  // "127.0.0.1:PORT", for the Host header and the WebSocket handshake
};

// One counter: its account and what one of its connections has seen so far.
struct Counter {
  std::size_t account = 0;
  std::unique_ptr<websocket::stream<beast::tcp_stream>> ws;
  Clock::time_point connectedAt{}, loggedInAt{}, billsAt{};
  bool loggedIn = false, refused = false, failed = false, closed = false;
  int closeCode = 0;
};

// A payment pushed to a counter, as the counter read it.
struct Receipt {
  std::uint32_t counter;
  std::int64_t payment;  // from the amount: payment n is n + 1 fen
  bool channelRight;
  Clock::time_point at;
};

struct Payment {
  std::size_t account = 0;
  Clock::time_point sent{}, answered{};
  int status = 0;  // the HTTP status; 0 not answered (the connection failed)
  bool duplicate = false;
};

struct Bench {
  std::vector<Target> nodes;  // the first is the one the memory and relogin scenarios use
  const Target& node(std::size_t i) const { return nodes[i % nodes.size()]; }
  std::string hubPidFile;  // the script writes the hub's process id here at each start
  std::vector<Account> accounts;
  std::deque<Counter> counters;  // a deque: adding counters leaves the running sessions' ones in place
  std::vector<Receipt> receipts;
  std::size_t connecting = 0;  // connections between their start and their handshake's end
  std::size_t loggedIn = 0;
  std::size_t open = 0;  // counter sessions not ended yet
};

// Anonymous clients that never read while they send texts the hub answers, for the push scenario under
// attack: how far they got.
struct Attack {
  bool running = true;
  std::size_t connections = 0, refused = 0, cut = 0, texts = 0;
};

// ---- small helpers ----

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

Task<> sleep(Clock::duration d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  co_await timer.async_wait(tuple);
}

// Waits until done() holds, looking every few milliseconds; false when timeout passed first. The
// figures come from the events' own timestamps, never from when this looked.
Task<bool> waitUntil(std::function<bool()> done, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) co_return false;
    co_await sleep(5ms);
  }
  co_return true;
}

struct Spread {
  std::size_t count = 0;
  double p50 = 0, p99 = 0, max = 0;
};

Spread spreadOf(std::vector<double> values) {
  Spread s;
  s.count = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  auto rank = [&](double q) { return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))]; };
  s.p50 = rank(0.50);
  s.p99 = rank(0.99);
  s.max = values.back();
  return s;
}

json::object toJson(const Spread& s) {
  return {{"count", s.count}, {"p50_ms", s.p50}, {"p99_ms", s.p99}, {"max_ms", s.max}};
}

std::string describe(const Spread& s) {
  char text[128];
  std::snprintf(text, sizeof text, "p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu)", s.p50, s.p99, s.max, s.count);
  return text;
}

// The hub's memory from /proc: VmRSS and VmHWM in kB.
json::object memoryOf(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  json::object m;
  for (std::string line; std::getline(status, line);)
    for (const char* name : {"VmRSS", "VmHWM"})
      if (line.rfind(std::string(name) + ":", 0) == 0) m[std::string(name) + "_kB"] = std::stoll(line.substr(6));
  return m;
}

double mb(const json::object& memory, const char* name) {
  const auto* v = memory.if_contains(name);
  return v ? static_cast<double>(v->as_int64()) / 1024.0 : 0;
}

// CPU seconds a process has used so far, user and system, all its threads.
double cpuSecondsOf(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto paren = text.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream fields(text.substr(paren + 2));
  std::string field;
  double ticks = 0;
  for (int i = 0; i < 13 && fields >> field; ++i)
    if (i == 11 || i == 12) ticks += std::stod(field);  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ownCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}

// The CPU the hub and this client take over a stretch of time, as shares of one core: a hub that gets
// much less than both cores while it has work was held back by others on the machine.
struct CpuWatch {
  int pid;
  double hub, own;
  Clock::time_point at;
};

CpuWatch cpuWatch(int pid) { return {pid, cpuSecondsOf(pid), ownCpuSeconds(), Clock::now()}; }

struct CpuUse {
  double hubPercent = 0, ownPercent = 0;
};

CpuUse cpuSince(const CpuWatch& w) {
  const double seconds = std::chrono::duration<double>(Clock::now() - w.at).count();
  return {100 * (cpuSecondsOf(w.pid) - w.hub) / seconds, 100 * (ownCpuSeconds() - w.own) / seconds};
}

// The machine's load average over the last minute, five and fifteen.
std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::vector<Account> readAccounts(const std::string& file) {
  std::ifstream in(file);
  std::vector<Account> accounts;
  for (Account a; in >> a.name >> a.password >> a.key;) accounts.push_back(a);
  if (accounts.empty()) throw std::runtime_error("no accounts in " + file);
  return accounts;
}

Target targetOf(std::string_view address) {
  const auto colon = address.rfind(':');
  if (colon == std::string::npos) throw std::runtime_error("the address is HOST:PORT");
  return {{asio::ip::make_address(std::string(address.substr(0, colon))),
           static_cast<unsigned short>(std::stoi(std::string(address.substr(colon + 1))))},
          std::string(address)};
}

std::vector<Target> targetsOf(std::string_view addresses) {
  std::vector<Target> targets;
  for (std::size_t from = 0; from <= addresses.size();) {
    const std::size_t comma = std::min(addresses.find(',', from), addresses.size());
    targets.push_back(targetOf(addresses.substr(from, comma - from)));
    from = comma + 1;
  }
  return targets;
}

// Ten thousand counters need as many descriptors as the system lets this process have.
void raiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// Payment n is n + 1 fen and alternates between the channels, so a push names its payment.
hub::Channel channelOf(std::int64_t payment) { return payment % 2 ? hub::Channel::alipay : hub::Channel::wechat; }

// The hub's process id as the script last wrote it.
int hubPidOf(const Bench& b) {
  std::ifstream in(b.hubPidFile);
  int pid = 0;
  in >> pid;
  return pid;
}

// ---- counters ----

std::string machineIdOf(std::size_t index) {
  char id[40];
  std::snprintf(id, sizeof id, "%032zX", index + 1);
  return id;
}

void received(Bench& b, std::uint32_t index, std::string_view text) {
  Counter& c = b.counters[index];
  const auto pieces = protocol::split(text);
  if (pieces.empty()) return;
  if (pieces[0] == protocol::kPayment && pieces.size() >= 3) {
    const auto fen = hub::money::parse(pieces[2]);
    const std::int64_t payment = fen ? *fen - 1 : -1;
    b.receipts.push_back({index, payment, pieces[1] == hub::counterWord(channelOf(payment)), Clock::now()});
  } else if (pieces[0] == protocol::kLoginAnswer && pieces.size() >= 2 && !c.loggedIn) {
    if (pieces[1] == protocol::kLoginOk) {
      c.loggedIn = true;
      c.loggedInAt = Clock::now();
      ++b.loggedIn;
    } else {
      c.refused = true;
    }
  } else if (text.starts_with(protocol::kBillHistory) && c.billsAt == Clock::time_point{}) {
    c.billsAt = Clock::now();
  }
}

// One connection of a counter, as Kassaro makes it: connect, log in and ask for the day's bills at once,
// then read whatever the hub sends until the connection ends.
Task<> counterSession(Bench& b, std::uint32_t index) {
  Counter& c = b.counters[index];
  const std::size_t account = c.account;
  c = Counter{};
  c.account = account;
  c.ws = std::make_unique<websocket::stream<beast::tcp_stream>>(co_await asio::this_coro::executor);
  ++b.open;
  ++b.connecting;
  auto& ws = *c.ws;
  const Target& node = b.node(index);
  auto [connectEc] = co_await beast::get_lowest_layer(ws).async_connect(node.endpoint, tuple);
  beast::error_code ec = connectEc;
  if (!ec) {
    ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::client));
    std::tie(ec) = co_await ws.async_handshake(node.host, "/", tuple);
  }
  --b.connecting;
  if (!ec) {
    c.connectedAt = Clock::now();
    ws.text(true);
    const Account& a = b.accounts[c.account];
    const std::string login = std::string(protocol::kLogin) + std::string(protocol::kSeparator) + a.name +
                              std::string(protocol::kSeparator) + a.password + std::string(protocol::kSeparator) +
                              machineIdOf(index);
    const std::string bills = std::string(protocol::kBills) + std::string(protocol::kSeparator) + a.name +
                              std::string(protocol::kSeparator) + a.password;
    std::size_t n;
    std::tie(ec, n) = co_await ws.async_write(asio::buffer(login), tuple);
    if (!ec) std::tie(ec, n) = co_await ws.async_write(asio::buffer(bills), tuple);
    beast::flat_buffer buffer;
    while (!ec) {
      std::tie(ec, n) = co_await ws.async_read(buffer, tuple);
      if (ec) break;
      received(b, index, {static_cast<const char*>(buffer.data().data()), buffer.size()});
      buffer.consume(buffer.size());
    }
    c.closeCode = ws.reason().code;
  }
  c.failed = c.closeCode == 0 && !c.loggedIn;
  c.closed = true;
  if (c.loggedIn) --b.loggedIn;
  --b.open;
}

// Starts the counters' sessions, at most `together` of them connecting at a time (the hub's listen
// queue holds a few thousand), and waits until all have logged in or `timeout` has passed.
Task<bool> logIn(Bench& b, std::size_t from, std::size_t to, std::size_t together, Clock::duration timeout) {
  const auto executor = co_await asio::this_coro::executor;
  for (std::size_t i = from; i < to; ++i) {
    while (b.connecting >= together) co_await sleep(1ms);
    asio::co_spawn(executor, counterSession(b, static_cast<std::uint32_t>(i)), asio::detached);
  }
  co_return co_await waitUntil(
      [&] {
        return std::all_of(b.counters.begin() + from, b.counters.begin() + to,
                           [](const Counter& c) { return c.loggedIn || c.closed; });
      },
      timeout);
}

// Ends every counter's connection from this side and waits for their sessions to see it.
Task<> closeCounters(Bench& b) {
  for (Counter& c : b.counters)
    if (c.ws && !c.closed) {
      beast::error_code ignored;
      beast::get_lowest_layer(*c.ws).socket().close(ignored);
    }
  co_await waitUntil([&] { return b.open == 0; }, 10s);
}

struct Logins {
  Spread spread;  // each counter's login answer, from `since`
  std::size_t ok = 0, refused = 0, failed = 0;
  double lastMs = 0, lastBillsMs = 0;
  CpuUse cpu;
};

Logins loginsOf(const Bench& b, std::size_t from, std::size_t to, Clock::time_point since, const CpuWatch& cpu) {
  Logins l;
  l.cpu = cpuSince(cpu);
  std::vector<double> times;
  for (std::size_t i = from; i < to; ++i) {
    const Counter& c = b.counters[i];
    if (c.loggedIn) {
      ++l.ok;
      times.push_back(millis(c.loggedInAt - since));
      if (c.billsAt != Clock::time_point{}) l.lastBillsMs = std::max(l.lastBillsMs, millis(c.billsAt - since));
    } else if (c.refused) {
      ++l.refused;
    } else {
      ++l.failed;
    }
  }
  l.spread = spreadOf(times);
  l.lastMs = l.spread.max;
  return l;
}

// Adds counters up to `count`, spread over the first `accounts` accounts in turn, and logs them in, at
// most 256 connecting at a time: how their logins went.
Task<Logins> addCounters(Bench& b, std::size_t count, std::size_t accounts) {
  const std::size_t from = b.counters.size();
  b.counters.resize(count);
  for (std::size_t i = from; i < count; ++i) b.counters[i].account = i % accounts;
  const CpuWatch cpu = cpuWatch(hubPidOf(b));
  co_await logIn(b, from, count, 256, 900s);
  co_return loginsOf(b, from, count, cpu.at, cpu);
}

json::object toJson(const Logins& l) {
  return {{"ok", l.ok},
          {"refused", l.refused},
          {"failed", l.failed},
          {"last_ms", l.lastMs},
          {"last_bills_ms", l.lastBillsMs},
          {"answer", toJson(l.spread)},
          {"hub_cpu_percent", l.cpu.hubPercent}};
}

std::string describe(const Logins& l) {
  char text[160];
  std::snprintf(text, sizeof text, "%zu logged in (refused %zu, failed %zu), the last after %.2f s; hub CPU %.0f%%",
                l.ok, l.refused, l.failed, l.lastMs / 1000, l.cpu.hubPercent);
  return text;
}

// One hostile client: connects, never reads, and sends a registration with a bad name (answered at
// once) every 20 ms until the hub cuts it; then connects again.
Task<> hostileClient(const Target& node, Attack& a) {
  const auto executor = co_await asio::this_coro::executor;
  const std::string text = std::string(protocol::kRegister) + std::string(protocol::kSeparator) + "x" +
                           std::string(protocol::kSeparator) + "y" + std::string(protocol::kSeparator) + "M";
  while (a.running) {
    websocket::stream<beast::tcp_stream> ws(executor);
    auto& socket = beast::get_lowest_layer(ws).socket();
    beast::error_code ec;
    socket.open(tcp::v4(), ec);
    socket.set_option(asio::socket_base::receive_buffer_size(4096), ec);
    std::tie(ec) = co_await beast::get_lowest_layer(ws).async_connect(node.endpoint, tuple);
    if (!ec) std::tie(ec) = co_await ws.async_handshake(node.host, "/", tuple);
    if (ec) {
      ++a.refused;
      co_await sleep(100ms);
      continue;
    }
    ++a.connections;
    ws.text(true);
    while (a.running) {
      auto [wec, n] = co_await ws.async_write(asio::buffer(text), tuple);
      if (wec) break;
      ++a.texts;
      co_await sleep(20ms);
    }
    if (a.running) ++a.cut;
    beast::error_code ignored;
    socket.close(ignored);
  }
}

// ---- the phone side ----

// Payments posted over keep-alive connections. The pacer queues each payment when it falls due and wakes
// an idle connection; a connection that finishes a request takes the next one waiting, so a slow answer
// delays the payments behind it, and how late they went out is a figure of its own.
struct Phone {
  std::vector<Payment> payments;
  std::deque<std::size_t> due;
  std::vector<asio::steady_timer*> idle;  // each idle connection waits on its own timer
  bool pacing = true;
  std::size_t inFlight = 0;
  std::vector<double> lateMs;  // how long each payment waited for a free connection
  std::vector<Clock::time_point> dueAt;
};

Task<> postPayments(Bench& b, Phone& p, const Target& node) {
  const auto executor = co_await asio::this_coro::executor;
  asio::steady_timer wake(executor);
  beast::tcp_stream stream(executor);
  beast::flat_buffer buffer;
  bool connected = false;
  for (;;) {
    if (p.due.empty()) {
      if (!p.pacing) break;
      p.idle.push_back(&wake);
      wake.expires_at(Clock::time_point::max());
      co_await wake.async_wait(tuple);  // cancelled: there is work
      continue;
    }
    const std::size_t n = p.due.front();
    p.due.pop_front();
    ++p.inFlight;
    Payment& pay = p.payments[n];
    const Account& a = b.accounts[pay.account];
    http::request<http::string_body> req{http::verb::post, "/api/v1/payments", 11};
    req.set(http::field::host, node.host);
    req.set(http::field::authorization, "Bearer " + a.key);
    req.set(http::field::content_type, "application/json");
    req.body() = "{\"channel\":\"" + std::string(channelOf(static_cast<std::int64_t>(n)) == hub::Channel::wechat ? "wechat" : "alipay") +
                 "\",\"amount\":\"" + hub::money::format(static_cast<hub::money::Fen>(n) + 1) +
                 "\",\"id\":\"bench-" + std::to_string(n) + "\"}";
    req.prepare_payload();
    pay.sent = Clock::now();
    p.lateMs.push_back(millis(pay.sent - p.dueAt[n]));
    // A kept-alive connection the hub has closed for idleness fails the request sent on it; as a phone's
    // HTTP client does, the payment then goes again, once, on a new connection (its id makes that safe).
    for (bool reused = connected;; reused = false) {
      beast::error_code ec;
      if (!connected) {
        std::tie(ec) = co_await stream.async_connect(node.endpoint, tuple);
        connected = !ec;
        beast::error_code ignored;
        if (connected) stream.socket().set_option(tcp::no_delay(true), ignored);
      }
      std::size_t bytes;
      if (connected) std::tie(ec, bytes) = co_await http::async_write(stream, req, tuple);
      http::response<http::string_body> res;
      if (connected && !ec) std::tie(ec, bytes) = co_await http::async_read(stream, buffer, res, tuple);
      if (connected && !ec) {
        pay.answered = Clock::now();
        pay.status = res.result_int();
        pay.duplicate = res.body().find("\"duplicate\":true") != std::string::npos;
        break;
      }
      connected = false;
      buffer.clear();
      beast::error_code ignored;
      stream.socket().close(ignored);
      if (!reused) break;
    }
    --p.inFlight;
  }
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
}

// Posts payments 0..count-1 at `rate` a second (0: as fast as the connections go), payment n for account
// n modulo `accounts`, and returns once every one has been answered or has failed.
Task<> runPhone(Bench& b, Phone& p, std::size_t count, double rate, std::size_t accounts, std::size_t connections) {
  const auto executor = co_await asio::this_coro::executor;
  p.payments.assign(count, {});
  p.dueAt.assign(count, {});
  for (std::size_t n = 0; n < count; ++n) p.payments[n].account = n % accounts;
  for (std::size_t i = 0; i < connections; ++i) asio::co_spawn(executor, postPayments(b, p, b.node(i)), asio::detached);
  asio::steady_timer timer(executor);
  const auto start = Clock::now();
  for (std::size_t n = 0; n < count; ++n) {
    if (rate > 0) {
      // Each payment falls due at its own point in time from the start, so a late wake-up never drifts the rate.
      timer.expires_at(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(n / rate)));
      co_await timer.async_wait(tuple);
    }
    p.dueAt[n] = rate > 0 ? timer.expiry() : start;
    p.due.push_back(n);
    if (!p.idle.empty()) {
      p.idle.back()->cancel();
      p.idle.pop_back();
    }
  }
  p.pacing = false;
  for (auto* idle : p.idle) idle->cancel();
  p.idle.clear();
  co_await waitUntil([&] { return p.due.empty() && p.inFlight == 0; }, 120s);
}

// ---- the scenarios ----

// Payments paced over the accounts while every counter listens: the push latency, and whether each
// payment answered 200 reached each counter of its account exactly once.
Task<> pushScenario(Bench& b, json::object& out, std::size_t counters, std::size_t accounts, double rate, int seconds,
                    std::size_t payments, std::size_t connections, std::size_t hostile) {
  const int hubPid = hubPidOf(b);
  std::cout << "push: " << counters << " counters over " << accounts << " accounts log in" << std::endl;
  const Logins logins = co_await addCounters(b, counters, accounts);
  const std::size_t count = payments ? payments : static_cast<std::size_t>(rate * seconds);
  std::cout << "  " << describe(logins) << "\n  posting " << count << " payments ";
  if (rate > 0) std::cout << "at " << rate << " a second ";
  std::cout << "over " << connections << " connections to " << b.nodes.size() << " node(s)" << std::endl;

  Attack attack;
  if (hostile) {
    std::cout << "  under attack: " << hostile << " clients that never read send texts the hub answers" << std::endl;
    const auto executor = co_await asio::this_coro::executor;
    for (std::size_t i = 0; i < hostile; ++i)
      asio::co_spawn(executor, hostileClient(b.node(i), attack), asio::detached);
    co_await sleep(2s);  // they are all connected and sending when the payments start
  }

  Phone p;
  const CpuWatch postingCpu = cpuWatch(hubPid);
  co_await runPhone(b, p, count, rate, accounts, connections);
  const auto postedFor = Clock::now() - postingCpu.at;
  const CpuUse cpu = cpuSince(postingCpu);
  attack.running = false;

  // Which counters should have heard what: each payment answered 200 at every counter of its account.
  std::vector<std::vector<std::uint32_t>> ofAccount(accounts);
  for (std::uint32_t i = 0; i < counters; ++i)
    if (b.counters[i].loggedIn) ofAccount[b.counters[i].account].push_back(i);
  std::size_t expected = 0, answered = 0, unanswered = 0, duplicateAnswers = 0;
  std::map<int, std::size_t> statuses;
  for (const Payment& pay : p.payments) {
    ++statuses[pay.status];
    if (pay.status == 200 && !pay.duplicate) {
      ++answered;
      expected += ofAccount[pay.account].size();
    }
    if (pay.status == 0) ++unanswered;
    if (pay.duplicate) ++duplicateAnswers;
  }
  // The pushes still on their way: wait until as many have come as are owed, then a little longer for
  // any that come twice.
  std::size_t seen = 0;
  auto quiet = Clock::now();
  co_await waitUntil(
      [&] {
        if (b.receipts.size() != seen) {
          seen = b.receipts.size();
          quiet = Clock::now();
        }
        return Clock::now() - quiet > (b.receipts.size() >= expected ? 500ms : 5s);
      },
      60s);

  // Each (counter, payment) heard: once is right, more is doubled, never is lost; a push of a payment
  // that was not answered 200, or to a counter of another account, is unexpected.
  auto keyOf = [count](std::uint32_t counter, std::size_t payment) { return counter * count + payment; };
  std::unordered_map<std::size_t, std::uint32_t> times;
  times.reserve(b.receipts.size());
  std::size_t unexpected = 0, wrongChannel = 0, beforeAnswer = 0;
  std::vector<double> fromAnswer, fromSend;
  for (const Receipt& r : b.receipts) {
    const bool known = r.payment >= 0 && static_cast<std::size_t>(r.payment) < count;
    const Payment* pay = known ? &p.payments[static_cast<std::size_t>(r.payment)] : nullptr;
    if (!pay || pay->account != b.counters[r.counter].account || pay->status != 200 || pay->duplicate) {
      // An unanswered payment may still have been stored and pushed: that is no fault of the hub.
      if (!pay || pay->status != 0) ++unexpected;
      continue;
    }
    if (!r.channelRight) ++wrongChannel;
    if (++times[keyOf(r.counter, static_cast<std::size_t>(r.payment))] > 1) continue;
    if (r.at < pay->answered) ++beforeAnswer;
    fromAnswer.push_back(std::max(0.0, millis(r.at - pay->answered)));
    fromSend.push_back(millis(r.at - pay->sent));
  }
  std::size_t lost = 0, doubled = 0;
  for (std::size_t n = 0; n < count; ++n) {
    const Payment& pay = p.payments[n];
    if (pay.status != 200 || pay.duplicate) continue;
    for (std::uint32_t i : ofAccount[pay.account]) {
      const auto it = times.find(keyOf(i, n));
      const std::uint32_t heard = it == times.end() ? 0 : it->second;
      if (heard == 0) ++lost;
      if (heard > 1) doubled += heard - 1;
    }
  }
  std::vector<double> answerMs;
  for (const Payment& pay : p.payments)
    if (pay.status != 0) answerMs.push_back(millis(pay.answered - pay.sent));

  std::size_t countersClosed = 0;
  for (const Counter& c : b.counters) countersClosed += c.closed;
  const Spread answer = spreadOf(answerMs), late = spreadOf(p.lateMs);
  const Spread push = spreadOf(fromAnswer), pushFromSend = spreadOf(fromSend);
  const double postedSeconds = std::chrono::duration<double>(postedFor).count();
  json::object statusCounts;
  for (const auto& [status, n] : statuses) statusCounts[std::to_string(status)] = n;
  out = {{"counters", counters},
         {"accounts", accounts},
         {"counters_per_account", static_cast<double>(counters) / static_cast<double>(accounts)},
         {"rate_per_second", rate},
         {"nodes", b.nodes.size()},
         {"seconds", seconds},
         {"http_connections", connections},
         {"logins", toJson(logins)},
         {"payments_posted", count},
         {"posting_seconds", postedSeconds},
         {"answers", statusCounts},
         {"answered_200", answered},
         {"answer", toJson(answer)},
         {"send_late", toJson(late)},
         {"pushes_expected", expected},
         {"pushes_received", b.receipts.size()},
         {"push_from_answer", toJson(push)},
         {"push_from_send", toJson(pushFromSend)},
         {"pushes_before_answer_read", beforeAnswer},
         {"lost", lost},
         {"doubled", doubled},
         {"unexpected", unexpected},
         {"wrong_channel", wrongChannel},
         {"unanswered", unanswered},
         {"duplicate_answers", duplicateAnswers},
         {"counters_dropped", countersClosed},
         {"hub_cpu_percent", cpu.hubPercent},
         {"client_cpu_percent", cpu.ownPercent},
         {"hub_memory", memoryOf(hubPid)},
         {"load_average", loadAverage()},
         {"hostile", {{"clients", hostile},
                      {"connections", attack.connections},
                      {"refused", attack.refused},
                      {"cut_by_hub", attack.cut},
                      {"texts_sent", attack.texts}}}};
  if (hostile)
    std::cout << "  hostile clients: " << attack.connections << " connections, " << attack.refused << " refused, "
              << attack.cut << " cut by the hub, " << attack.texts << " texts sent" << std::endl;
  std::cout << "  posted " << count << " in " << postedSeconds << " s; answered 200: " << answered
            << ", not answered: " << unanswered << "\n"
            << "  answer " << describe(answer) << "\n"
            << "  sent late " << describe(late) << "\n"
            << "  push from answer " << describe(push) << " (" << beforeAnswer << " came before the answer was read)\n"
            << "  push from send   " << describe(pushFromSend) << "\n"
            << "  pushes owed " << expected << ", received " << b.receipts.size() << ": lost " << lost << ", doubled "
            << doubled << ", unexpected " << unexpected << ", wrong channel " << wrongChannel << "\n"
            << "  counters dropped " << countersClosed << "; CPU while posting: hub " << cpu.hubPercent
            << "%, client " << cpu.ownPercent << "% of one core; load average " << loadAverage() << std::endl;
  co_await closeCounters(b);
}

// The hub's memory with no counters, then with each stage's number of idle logged-in counters.
Task<> memoryScenario(Bench& b, json::object& out, std::vector<std::size_t> stages) {
  const int hubPid = hubPidOf(b);
  const std::size_t accounts = b.accounts.size();
  json::array figures;
  figures.push_back({{"counters", 0}, {"hub_memory", memoryOf(hubPid)}});
  std::cout << "memory: no counters: " << mb(memoryOf(hubPid), "VmRSS_kB") << " MB" << std::endl;
  std::size_t from = 0;
  for (std::size_t stage : stages) {
    const Logins logins = co_await addCounters(b, stage, accounts);
    co_await sleep(2s);  // the logins' last store writes and freed hashing memory settle
    const json::object memory = memoryOf(hubPid);
    std::size_t loggedIn = 0;
    for (std::size_t i = 0; i < stage; ++i) loggedIn += b.counters[i].loggedIn;
    figures.push_back({{"counters", stage},
                       {"logged_in", loggedIn},
                       {"counters_per_account", static_cast<double>(stage) / static_cast<double>(accounts)},
                       {"logins", toJson(logins)},
                       {"hub_memory", memory}});
    std::cout << "  " << loggedIn << " of " << stage << " idle counters logged in: VmRSS " << mb(memory, "VmRSS_kB")
              << " MB, VmHWM " << mb(memory, "VmHWM_kB") << " MB\n    the " << stage - from << " more: "
              << describe(logins) << std::endl;
    from = stage;
  }
  out = {{"accounts", accounts}, {"stages", figures}, {"load_average", loadAverage()}};
  co_await closeCounters(b);
}

// Counters logged in (with some bills of the day each), the hub stopped and started again: how long until
// every counter, reconnecting at once, is logged in again.
Task<> reloginScenario(Bench& b, json::object& out, std::size_t counters, std::size_t billsEach) {
  const int hubPid = hubPidOf(b);
  const std::size_t accounts = std::min(counters, b.accounts.size());
  std::cout << "relogin: " << counters << " counters over " << accounts << " accounts log in" << std::endl;
  const Logins first = co_await addCounters(b, counters, accounts);
  Phone p;
  co_await runPhone(b, p, billsEach * accounts, 0, accounts, 16);

  std::cout << "  stopping the hub (" << hubPid << "); the script starts it again" << std::endl;
  const auto stopAt = Clock::now();
  kill(hubPid, SIGTERM);
  co_await waitUntil([&] { return b.open == 0; }, 60s);
  const double closedMs = millis(Clock::now() - stopAt);
  std::map<int, std::size_t> codes;
  for (const Counter& c : b.counters) ++codes[c.closeCode];

  // The hub is listening again once a connection is taken; then every counter comes back at once.
  const auto executor = co_await asio::this_coro::executor;
  Clock::time_point listening{};
  while (Clock::now() - stopAt < 120s) {
    tcp::socket probe(executor);
    auto [ec] = co_await probe.async_connect(b.nodes.front().endpoint, tuple);
    if (!ec) {
      listening = Clock::now();
      break;
    }
    co_await sleep(2ms);
  }
  const double downMs = millis(listening - stopAt);
  int restarted = hubPidOf(b);
  for (int i = 0; i < 100 && restarted == hubPid; ++i, restarted = hubPidOf(b)) co_await sleep(10ms);
  const CpuWatch againCpu = cpuWatch(restarted);
  co_await logIn(b, 0, counters, counters, 600s);
  const Logins again = loginsOf(b, 0, counters, listening, againCpu);

  json::object closeCodes;
  for (const auto& [code, n] : codes) closeCodes[std::to_string(code)] = n;
  out = {{"counters", counters},
         {"accounts", accounts},
         {"bills_per_account", billsEach},
         {"first_logins", toJson(first)},
         {"counters_closed_ms", closedMs},
         {"close_codes", closeCodes},
         {"hub_down_ms", downMs},
         {"logins_again", toJson(again)},
         {"load_average", loadAverage()}};
  std::cout << "  first logins: " << describe(first) << "\n"
            << "  all counters closed " << closedMs << " ms after SIGTERM; listening again after " << downMs
            << " ms\n"
            << "  logged in again: " << describe(again) << "; the last bill history after "
            << again.lastBillsMs / 1000 << " s\n"
            << "  login answers from listening again " << describe(again.spread) << std::endl;
  co_await closeCounters(b);
}

// One Argon2id verification, as the hub makes it for every login.
json::object passwordScenario(int runs) {
  const std::string hash = hub::accounts::hashPassword("bench-password");
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    hub::accounts::checkPassword(hash, "bench-password");
    times.push_back(millis(Clock::now() - start));
  }
  const Spread s = spreadOf(times);
  std::cout << "password: one Argon2id verification " << describe(s) << "; load average " << loadAverage()
            << std::endl;
  return {{"runs", runs}, {"verify", toJson(s)}, {"load_average", loadAverage()}};
}

int run(int argc, char** argv) {
  CLI::App app{"kassaro-hub-bench: counters and a phone against a running kassaro-hub, for scripts/bench-hub"};
  app.require_subcommand(1);
  app.fallthrough();
  std::string address, accountsFile, outFile;
  std::string hubPidFile;
  int seconds = 60, runs = 20;
  std::size_t counters = 1000, accounts = 1000, connections = 32, billsEach = 10, payments = 0, hostile = 0;
  double rate = 500;
  std::vector<std::size_t> stages = {1000, 10000};
  app.add_option("--out", outFile, "where the figures go, as JSON")->required();
  auto* push = app.add_subcommand("push", "payments at a steady rate, pushed to logged-in counters");
  auto* memory = app.add_subcommand("memory", "the hub's memory with idle logged-in counters");
  auto* relogin = app.add_subcommand("relogin", "counters logging in again after the hub restarts");
  auto* password = app.add_subcommand("password", "the cost of one password check");
  for (auto* cmd : {push, memory, relogin}) {
    cmd->add_option("--address", address, "the hub's HOST:PORT (for push, the nodes' HOST:PORT,...)")->required();
    cmd->add_option("--accounts", accountsFile, "accounts, one a line: name password key")->required();
    cmd->add_option("--hub-pid-file", hubPidFile, "the hub's process id, for its memory and CPU")->required();
  }
  for (auto* cmd : {push, relogin}) cmd->add_option("--counters", counters, "counters logged in");
  push->add_option("--accounts-used", accounts, "accounts the counters and payments are spread over");
  push->add_option("--rate", rate, "payments a second");
  push->add_option("--seconds", seconds, "how long payments are posted");
  push->add_option("--payments", payments, "payments posted, in place of rate times seconds (with --rate 0: at once)");
  push->add_option("--connections", connections, "HTTP keep-alive connections the payments go over");
  push->add_option("--hostile", hostile, "anonymous clients that never read, sending texts meanwhile");
  memory->add_option("--stages", stages, "numbers of idle counters, rising")->delimiter(',');
  relogin->add_option("--bills", billsEach, "bills of the day each account has before the restart");
  password->add_option("--runs", runs, "verifications timed");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  json::object figures;
  if (password->parsed()) {
    figures = passwordScenario(runs);
  } else {
    raiseDescriptorLimit();
    // The loop before the connections, so that they are gone before it is.
    asio::io_context ioc(1);
    Bench b;
    b.nodes = targetsOf(address);
    if (!push->parsed()) b.nodes.resize(1);
    b.hubPidFile = hubPidFile;
    b.accounts = readAccounts(accountsFile);
    accounts = std::min(accounts, b.accounts.size());
    auto scenario = [&]() -> Task<> {
      if (push->parsed()) co_await pushScenario(b, figures, counters, accounts, rate, seconds, payments, connections, hostile);
      if (memory->parsed()) co_await memoryScenario(b, figures, stages);
      if (relogin->parsed()) co_await reloginScenario(b, figures, counters, billsEach);
    };
    // A request the hub never answers would keep its connection waiting: the scenario's end ends the loop.
    asio::co_spawn(ioc, scenario(), [&ioc](std::exception_ptr e) {
      ioc.stop();
      if (e) std::rethrow_exception(e);
    });
    ioc.run();
  }
  std::ofstream(outFile) << json::serialize(figures) << "\n";
  return 0;
}

}  // namespace bench

int main(int argc, char** argv) {
  try {
    return bench::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "kassaro-hub-bench: " << e.what() << "\n";
    return 1;
  }
}
