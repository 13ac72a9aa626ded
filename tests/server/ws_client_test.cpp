// The WebSocket client against a real server: tests/peers/ws_test_peer.py, started by the test, in the
// clear and over TLS with a test certificate the test trusts (natively through SSL_CERT_FILE, under Wine
// in the prefix's root store). The request path tells the peer how to behave. Under Wine the peer is started as a Unix process
// (Wine runs a non-Windows executable given by its Unix path), which the test can neither wait for
// nor kill: it is told to quit instead and ends by itself when idle.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/ws/websocket_client.h"

#ifdef _WIN32
#include <windows.h>

#include "support/trust_root_win32.h"
#else
#include <stdlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

using ws::WebSocketClient;
using namespace std::chrono_literals;

// How long any expected event may take; generous, as Wine and the sanitizers are slow.
constexpr auto kPatience = 20s;

// ---- The peer process ----

struct Peer {
  int port = 0;
  int tlsPort = 0;        // its certificate is for localhost and trusted
  int untrustedPort = 0;  // its certificate is for localhost, trusted by nobody
#ifndef _WIN32
  pid_t pid = -1;
#endif
  std::string url(const std::string& path) const { return "ws://127.0.0.1:" + std::to_string(port) + path; }
  std::string secureUrl(const std::string& path, const std::string& host = "localhost", int at = 0) const {
    return "wss://" + host + ":" + std::to_string(at ? at : tlsPort) + path;
  }
};

Peer gPeer;

std::string portFileName() {
#ifdef _WIN32
  return "/tmp/kassaro-ws-peer-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount()) + ".port";
#else
  return "/tmp/kassaro-ws-peer-" + std::to_string(getpid()) + ".port";
#endif
}

// Windows sees the Unix file system through drive Z: under Wine.
std::string localName(const std::string& unixName) {
#ifdef _WIN32
  return "Z:" + unixName;
#else
  return unixName;
#endif
}

// Trusts the peer's certificate for this process (natively) or this Wine prefix.
bool trustPeer(const std::string& tlsDir) {
#ifdef _WIN32
  std::ifstream in(localName(tlsDir + "/cert.der"), std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string why;
  return !der.empty() && testsupport::trustRoot(der, &why);
#else
  return setenv("SSL_CERT_FILE", (tlsDir + "/cert.pem").c_str(), 1) == 0;
#endif
}

bool startPeer(Peer& peer) {
  const std::string script = std::string(KASSARO_PEERS_DIR) + "/ws_test_peer.py";
  const std::string portFile = portFileName();
  // One set of certificates for every peer of this process: the system may keep the roots it has read.
  static const std::string tlsDir = portFile + ".tls";
  std::remove(localName(portFile).c_str());
#ifdef _WIN32
  std::string command = "/usr/bin/python3 \"" + script + "\" --idle 20 --port 0 --port-file \"" + portFile +
                        "\" --tls-dir \"" + tlsDir + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
#else
  std::vector<std::string> args = {"/usr/bin/python3", script, "--idle",  "20",     "--port",
                                   "0",                "--port-file", portFile, "--tls-dir", tlsDir};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&peer.pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
#endif
  for (auto until = std::chrono::steady_clock::now() + kPatience; std::chrono::steady_clock::now() < until;) {
    std::ifstream in(localName(portFile));
    if (in >> peer.port >> peer.tlsPort >> peer.untrustedPort && peer.untrustedPort > 0) {
      in.close();
      std::remove(localName(portFile).c_str());
      return trustPeer(tlsDir);
    }
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// ---- Recording what the handlers see ----

// Every event the handlers saw, in order: "connected", "failed", "disconnected", or the message text.
struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> events;

  void add(std::string event) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(std::move(event));
    changed.notify_all();
  }
  // Waits until `count` events have arrived; false if they do not come.
  bool waitCount(size_t count) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, kPatience, [&] { return events.size() >= count; });
  }
  bool waitFor(const std::string& event) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, kPatience, [&] {
      for (auto& e : events)
        if (e == event) return true;
      return false;
    });
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> guard(lock);
    return events;
  }
};

// A client whose handlers record into `recorder`; the message handler also checks the message type.
void bindRecorder(WebSocketClient& client, const std::shared_ptr<Recorder>& recorder) {
  client.BaseCreate();
  client.Init(
      [&client, recorder](int32_t type, int32_t handle) {
        std::string text = client.GetMessageText(handle);
        recorder->add(type == WebSocketClient::kTextMessage ? text : "binary:" + text);
      },
      [recorder] { recorder->add("connected"); }, [recorder] { recorder->add("failed"); },
      [recorder] { recorder->add("disconnected"); });
}

// The peer's record of what it saw: one line per event, such as "/masked closed 1002".
std::string peerLog() {
  auto recorder = std::make_shared<Recorder>();
  WebSocketClient client;
  bindRecorder(client, recorder);
  if (!client.Connect(gPeer.url("/log"))) return "(no log)";
  recorder->waitCount(2);
  auto events = recorder->snapshot();
  client.BaseRelease();
  return events.size() >= 2 && events[1] != "disconnected" ? events[1] : "";
}

// Waits until the peer's record holds `line`.
bool peerSaw(const std::string& line) {
  for (auto until = std::chrono::steady_clock::now() + kPatience; std::chrono::steady_clock::now() < until;) {
    std::string log = "\n" + peerLog() + "\n";
    if (log.find("\n" + line + "\n") != std::string::npos) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

// A local port nothing listens on: the peer's port while the peer is still to come is not known, so use
// a port from the privileged range that no test machine serves.
const char* kNobodyThere = "ws://127.0.0.1:1/";

class WsClientTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { peerStarted_ = startPeer(gPeer); }

  static void TearDownTestSuite() {
    if (!peerStarted_) return;
    {
      WebSocketClient quit;
      quit.BaseCreate();
      quit.Connect(gPeer.url("/quit"));
      quit.BaseRelease();
    }
#ifndef _WIN32
    kill(gPeer.pid, SIGTERM);
    waitpid(gPeer.pid, nullptr, 0);
#endif
  }

  void SetUp() override {
    ASSERT_TRUE(peerStarted_) << "the WebSocket test peer did not start (needs /usr/bin/python3 with websockets)";
    recorder = std::make_shared<Recorder>();
    bindRecorder(client, recorder);
  }

  // The address of one of the peer's paths; in the clear here.
  virtual std::string at(const std::string& path) const { return gPeer.url(path); }

  std::shared_ptr<Recorder> recorder;
  WebSocketClient client;
  static inline bool peerStarted_ = false;
};

// The cases that must hold alike in the clear and over TLS.
class WsClientOverTlsOrNot : public WsClientTest, public testing::WithParamInterface<bool> {
 protected:
  std::string at(const std::string& path) const override {
    return GetParam() ? gPeer.secureUrl(path) : gPeer.url(path);
  }
};
INSTANTIATE_TEST_SUITE_P(, WsClientOverTlsOrNot, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "wss" : "ws"; });

// ---- The cases ----

TEST_P(WsClientOverTlsOrNot, ExchangesChineseTextBothWays) {
  EXPECT_EQ(client.GetConnectStatus(), -1);
  std::string reason;
  ASSERT_TRUE(client.Connect(at("/echo"), &reason)) << reason;
  EXPECT_EQ(client.GetConnectStatus(), 1);
  ASSERT_TRUE(recorder->waitCount(2));
  // The peer's own UTF-8 greeting arrives as GBK.
  EXPECT_EQ(recorder->snapshot(), (std::vector<std::string>{"connected", "欢迎光临"}));

  // The peer answers with the number of characters it decoded: 12 proves the frame was UTF-8.
  ASSERT_TRUE(client.SendTextTo("微信收款100.00元！"));
  ASSERT_TRUE(recorder->waitCount(3));
  EXPECT_EQ(recorder->snapshot()[2], "12:微信收款100.00元！");

  ASSERT_TRUE(client.SendTextTo(""));
  ASSERT_TRUE(recorder->waitCount(4));
  EXPECT_EQ(recorder->snapshot()[3], "0:");
}

TEST_P(WsClientOverTlsOrNot, CloseEndsTheConnectionWithoutAnEvent) {
  ASSERT_TRUE(client.Connect(at("/echo?closed-by-us")));
  ASSERT_TRUE(recorder->waitCount(2));
  client.Close();
  EXPECT_EQ(client.GetConnectStatus(), -1);
  EXPECT_FALSE(client.SendTextTo("after close"));
  EXPECT_TRUE(peerSaw("/echo?closed-by-us closed 1000"));
  std::this_thread::sleep_for(200ms);  // room for a wrong disconnected event to show up
  EXPECT_EQ(recorder->snapshot(), (std::vector<std::string>{"connected", "欢迎光临"}));
}

TEST_F(WsClientTest, GivesMessageTextOnlyInsideItsHandler) {
  // Each handler asks for its own message, for the previous one (over by now) and for one never given out.
  auto previous = std::make_shared<int32_t>(0);
  client.Init(
      [&client = client, rec = recorder, previous](int32_t, int32_t handle) {
        std::string own = client.GetMessageText(handle);
        std::string old = client.GetMessageText(*previous);
        std::string unknown = client.GetMessageText(handle + 1);
        *previous = handle;
        rec->add(own + "|" + old + "|" + unknown);
      },
      [] {}, [] {}, [] {});
  ASSERT_TRUE(client.Connect(gPeer.url("/echo")));
  ASSERT_TRUE(recorder->waitCount(1));
  ASSERT_TRUE(client.SendTextTo("x"));
  ASSERT_TRUE(recorder->waitCount(2));
  EXPECT_EQ(recorder->snapshot(), (std::vector<std::string>{"欢迎光临||", "1:x||"}));
}

TEST_F(WsClientTest, ReassemblesFragmentsAroundAPing) {
  ASSERT_TRUE(client.Connect(gPeer.url("/fragments")));
  ASSERT_TRUE(recorder->waitCount(3));
  EXPECT_EQ(recorder->snapshot(), (std::vector<std::string>{"connected", "第一段，第二段，第三段", "前半后半"}));
  // The ping between the fragments was answered and did not upset the connection.
  ASSERT_TRUE(client.SendTextTo("还在"));
  ASSERT_TRUE(recorder->waitCount(4));
  EXPECT_EQ(recorder->snapshot()[3], "2:还在");
}

TEST_P(WsClientOverTlsOrNot, CarriesOneMebibyteMessagesAndConcurrentSenders) {
  ASSERT_TRUE(client.Connect(at("/echo")));
  ASSERT_TRUE(recorder->waitCount(2));

  // 1 MiB of GBK text: "收款" is four bytes in GBK and six in UTF-8.
  std::string big;
  while (big.size() < (1u << 20)) big += "收款0123";
  big.resize(1u << 20);
  ASSERT_TRUE(client.SendTextTo(big));
  ASSERT_TRUE(recorder->waitCount(3));
  const size_t characters = (1u << 20) / 8 * 6;
  EXPECT_EQ(recorder->snapshot()[2], std::to_string(characters) + ":" + big);

  // Two threads sending at once: each frame must go out whole, or the peer would see garbage and close.
  auto sender = [&](char tag) {
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(client.SendTextTo(std::string(100000, tag) + std::to_string(i)));
  };
  std::thread a(sender, 'a'), b(sender, 'b');
  a.join();
  b.join();
  ASSERT_TRUE(recorder->waitCount(3 + 40));
  auto events = recorder->snapshot();
  int fromA = 0, fromB = 0;
  for (size_t i = 3; i < events.size(); ++i) {
    const std::string& e = events[i];
    size_t colon = e.find(':');
    ASSERT_NE(colon, std::string::npos);
    std::string body = e.substr(colon + 1);
    char tag = body[0];
    EXPECT_EQ(body.find_first_not_of(tag), 100000u);
    (tag == 'a' ? fromA : fromB)++;
  }
  EXPECT_EQ(fromA, 20);
  EXPECT_EQ(fromB, 20);
  EXPECT_EQ(client.GetConnectStatus(), 1);
}

TEST_F(WsClientTest, MessagesUpTo16MiBArriveAndABiggerOneClosesWith1009) {
  ASSERT_TRUE(client.Connect(gPeer.url("/16MiB")));
  ASSERT_TRUE(recorder->waitCount(2));
  const std::string message = recorder->snapshot()[1];
  EXPECT_EQ(message.size(), size_t(16) << 20);
  EXPECT_EQ(message.find_first_not_of('A'), std::string::npos);

  ASSERT_TRUE(client.Connect(gPeer.url("/16MiB-and-1")));
  ASSERT_TRUE(recorder->waitCount(4));
  EXPECT_EQ(recorder->snapshot()[2], "connected");
  EXPECT_EQ(recorder->snapshot()[3], "disconnected");
  EXPECT_TRUE(peerSaw("/16MiB-and-1 closed 1009"));
}

TEST_P(WsClientOverTlsOrNot, AnswersPings) {
  ASSERT_TRUE(client.Connect(at("/ping")));
  ASSERT_TRUE(recorder->waitCount(2));
  EXPECT_EQ(recorder->snapshot()[1], "pong:kassaro");
}

TEST_P(WsClientOverTlsOrNot, ServerCloseAndDropRaiseDisconnected) {
  ASSERT_TRUE(client.Connect(at("/close")));
  ASSERT_TRUE(recorder->waitCount(3));
  EXPECT_EQ(recorder->snapshot(), (std::vector<std::string>{"connected", "bye", "disconnected"}));
  EXPECT_EQ(client.GetConnectStatus(), -1);
  EXPECT_FALSE(client.SendTextTo("too late"));
  // Our close frame answered the server's with its own code: the peer saw a clean close.
  EXPECT_TRUE(peerSaw("/close closed 1000"));

  ASSERT_TRUE(client.Connect(at("/drop")));
  ASSERT_TRUE(recorder->waitCount(6));
  EXPECT_EQ(recorder->snapshot(),
            (std::vector<std::string>{"connected", "bye", "disconnected", "connected", "bye", "disconnected"}));
  EXPECT_FALSE(client.SendTextTo("too late"));
}

TEST_F(WsClientTest, FailedConnectsRaiseConnectFailed) {
  std::string reason;
  EXPECT_FALSE(client.Connect(kNobodyThere, &reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_FALSE(client.Connect(gPeer.url("/bad-accept"), &reason));
  EXPECT_NE(reason.find("Sec-WebSocket-Accept"), std::string::npos) << reason;
  EXPECT_FALSE(client.Connect(gPeer.url("/refuse"), &reason));
  EXPECT_NE(reason.find("403"), std::string::npos) << reason;
  EXPECT_FALSE(client.Connect("wss://127.0.0.1:" + std::to_string(gPeer.port) + "/echo"));
  EXPECT_FALSE(client.Connect("not an address"));
  EXPECT_EQ(client.GetConnectStatus(), -1);
  ASSERT_TRUE(recorder->waitCount(5));
  EXPECT_EQ(recorder->snapshot(), (std::vector<std::string>(5, "failed")));
  EXPECT_FALSE(client.SendTextTo("nobody"));
}

TEST_F(WsClientTest, ATlsServerWhoseCertificateDoesNotCheckOutIsRefusedLikeAnAbsentOne) {
  std::string reason;
  // The trusted certificate asked for by another name: it is for localhost only.
  EXPECT_FALSE(client.Connect(gPeer.secureUrl("/echo?wrong-name", "127.0.0.1"), &reason));
  EXPECT_NE(reason.find("certificate"), std::string::npos) << reason;
  // The right name on a certificate nothing trusts.
  EXPECT_FALSE(client.Connect(gPeer.secureUrl("/echo?untrusted", "localhost", gPeer.untrustedPort), &reason));
  EXPECT_NE(reason.find("certificate"), std::string::npos) << reason;
  EXPECT_EQ(client.GetConnectStatus(), -1);
  ASSERT_TRUE(recorder->waitCount(2));
  // Nothing of ours went to either: the peer never saw a WebSocket request, so it logged no connection.
  const std::string log = peerLog();
  EXPECT_EQ(log.find("wrong-name"), std::string::npos) << log;
  EXPECT_EQ(log.find("untrusted"), std::string::npos) << log;
  EXPECT_EQ(recorder->snapshot(), (std::vector<std::string>{"failed", "failed"}));
}

TEST_F(WsClientTest, ProtocolErrorsAndServerClosesAreAnsweredWithTheirCloseCodes) {
  // A broken frame, a close code no peer may send (1005 and 1006 never go out) and a reason that is not
  // UTF-8 are refused; a close with a code a server may send is echoed.
  const std::pair<const char*, const char*> cases[] = {
      {"/masked", "1002"},     {"/reserved-opcode", "1002"}, {"/rsv", "1002"},
      {"/big-control", "1002"}, {"/fragmented-control", "1002"}, {"/close-999", "1002"},
      {"/close-1005", "1002"}, {"/close-2999", "1002"},     {"/close-bad-reason", "1007"},
      {"/close-1000", "1000"}, {"/close-4000", "4000"}};
  size_t expected = 0;
  for (const auto& [path, code] : cases) {
    ASSERT_TRUE(client.Connect(gPeer.url(path))) << path;
    expected += 2;
    ASSERT_TRUE(recorder->waitCount(expected)) << path;
    auto events = recorder->snapshot();
    EXPECT_EQ(events[expected - 2], "connected") << path;
    EXPECT_EQ(events[expected - 1], "disconnected") << path;
    EXPECT_TRUE(peerSaw(std::string(path) + " closed " + code)) << path;
  }
}

TEST_F(WsClientTest, InvalidUtf8IsReplacedNotFatal) {
  ASSERT_TRUE(client.Connect(gPeer.url("/bad-utf8")));
  ASSERT_TRUE(recorder->waitCount(2));
  EXPECT_EQ(recorder->snapshot()[1], "ab?cd");
  ASSERT_TRUE(client.SendTextTo("好"));
  ASSERT_TRUE(recorder->waitCount(3));
  EXPECT_EQ(recorder->snapshot()[2], "1:好");
}

TEST_P(WsClientOverTlsOrNot, KeepaliveDropsASilentServerAndKeepsALiveOne) {
  client.SetKeepalive(150, 150);
  // The echo peer answers our pings (its library does so on its own): several rounds pass unharmed.
  ASSERT_TRUE(client.Connect(at("/echo?keepalive")));
  ASSERT_TRUE(recorder->waitCount(2));
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(client.SendTextTo("还活着"));
  ASSERT_TRUE(recorder->waitCount(3));
  EXPECT_EQ(recorder->snapshot(), (std::vector<std::string>{"connected", "欢迎光临", "3:还活着"}));

  // This peer stops reading after "hello": our ping goes unanswered and the link counts as dropped.
  ASSERT_TRUE(client.Connect(at("/silent")));
  ASSERT_TRUE(recorder->waitCount(6));
  EXPECT_EQ(recorder->snapshot(),
            (std::vector<std::string>{"connected", "欢迎光临", "3:还活着", "connected", "hello", "disconnected"}));
  // Replacing the echo connection closed it quietly: no event for it.
  EXPECT_TRUE(peerSaw("/echo?keepalive closed 1000"));
}

TEST_F(WsClientTest, ConnectInsideAHandler) {
  // The retry loop of the program: Connect from inside the connect-failed handler. Failures there raise
  // no second event; the connected event waits until the handler has returned.
  auto failedCalls = std::make_shared<std::atomic<int>>(0);
  auto rec = recorder;
  client.Init([](int32_t, int32_t) {}, [rec] { rec->add("connected"); },
              [&client = client, rec, failedCalls] {
                if ((*failedCalls)++ > 0) return;
                rec->add("failed");
                rec->add(client.Connect(kNobodyThere) ? "inner:1" : "inner:0");
                rec->add(client.Connect(gPeer.url("/drop")) ? "inner:1" : "inner:0");
                // Stay in the handler until the peer has dropped the new connection.
                for (int i = 0; i < 400 && client.GetConnectStatus() == 1; ++i) std::this_thread::sleep_for(50ms);
                rec->add(client.GetConnectStatus() == -1 ? "dropped meanwhile" : "still up");
              },
              [rec] { rec->add("disconnected"); });
  EXPECT_FALSE(client.Connect(kNobodyThere));
  ASSERT_TRUE(recorder->waitCount(6));
  std::this_thread::sleep_for(200ms);  // room for a wrong extra event to show up
  EXPECT_EQ(recorder->snapshot(), (std::vector<std::string>{"failed", "inner:0", "inner:1", "dropped meanwhile",
                                                           "connected", "disconnected"}));
  EXPECT_EQ(failedCalls->load(), 1);
}

TEST_F(WsClientTest, ReleaseWhileAHandlerIsBlocked) {
  // A handler stuck in a message box: BaseRelease must not wait for it, and nothing runs after release.
  struct Gate {
    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
    std::atomic<int> calls{0};
    std::atomic<bool> entered{false};
  };
  auto gate = std::make_shared<Gate>();
  auto released = std::make_unique<WebSocketClient>();
  released->BaseCreate();
  released->Init(
      [gate](int32_t, int32_t) {
        gate->calls++;
        gate->entered = true;
        std::unique_lock<std::mutex> guard(gate->lock);
        gate->opened.wait(guard, [&] { return gate->open; });
      },
      [gate] { gate->calls++; }, [gate] { gate->calls++; }, [gate] { gate->calls++; });
  ASSERT_TRUE(released->Connect(gPeer.url("/burst")));
  for (int i = 0; i < 400 && !gate->entered; ++i) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(gate->entered);
  const int callsBefore = gate->calls;  // connected, then the first of three messages
  EXPECT_EQ(callsBefore, 2);

  released->BaseRelease();  // returns although the handler is still blocked
  EXPECT_FALSE(released->Connect(gPeer.url("/echo")));
  EXPECT_FALSE(released->SendTextTo("after release"));
  released.reset();
  EXPECT_TRUE(peerSaw("/burst closed 1000"));

  {
    std::lock_guard<std::mutex> guard(gate->lock);
    gate->open = true;
  }
  gate->opened.notify_all();
  std::this_thread::sleep_for(300ms);  // room for a queued message to be (wrongly) delivered
  EXPECT_EQ(gate->calls.load(), callsBefore);
}

}  // namespace
