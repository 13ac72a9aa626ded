// The notification peer (tests/peers/notify_peer.py) seen from a C++ test: started as a process, then
// steered over its control port, one JSON line per command. Texts cross as UTF-8; the helpers take and
// give the program's GBK.
//
// Under Wine the peer is started as a Unix process (Wine runs a non-Windows executable given by its Unix
// path), which the test can neither wait for nor kill: it is told to quit, and ends by itself when idle.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/codepage.h"
#include "server/ws/socket.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace peertest {

// ---- A little JSON: enough for the peer's answers ----

inline std::string jsonQuote(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

inline void appendUtf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// Reads the JSON string that starts at json[pos] (a quote); pos ends after it.
inline std::string jsonString(const std::string& json, size_t& pos) {
  std::string out;
  ++pos;
  auto hex4 = [&](size_t at) { return unsigned(std::stoul(json.substr(at, 4), nullptr, 16)); };
  while (pos < json.size() && json[pos] != '"') {
    char c = json[pos++];
    if (c != '\\') {
      out += c;
      continue;
    }
    char e = json[pos++];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'u': {
        unsigned cp = hex4(pos);
        pos += 4;
        if (cp >= 0xD800 && cp < 0xDC00 && json.compare(pos, 2, "\\u") == 0) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4(pos + 2) - 0xDC00);
          pos += 6;
        }
        appendUtf8(out, cp);
        break;
      }
      default: out += e;
    }
  }
  ++pos;
  return out;
}

// The value of `key` in a flat answer: a number or true/false as text, or "" when absent.
inline std::string jsonScalar(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return "";
  at += key.size() + 3;
  while (at < json.size() && json[at] == ' ') ++at;
  size_t end = json.find_first_of(",}", at);
  return json.substr(at, end - at);
}

// The strings of the array `key`.
inline std::vector<std::string> jsonStrings(const std::string& json, const std::string& key) {
  std::vector<std::string> items;
  size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return items;
  at = json.find('[', at);
  while (at != std::string::npos && at < json.size()) {
    size_t next = json.find_first_of("\"]", at);
    if (next == std::string::npos || json[next] == ']') break;
    at = next;
    items.push_back(jsonString(json, at));
  }
  return items;
}

// ---- The peer ----

#ifdef _WIN32
// Windows sees the Unix file system through drive Z: under Wine.
inline std::string localName(const std::string& unixName) { return "Z:" + unixName; }
#else
inline std::string localName(const std::string& unixName) { return unixName; }
#endif

class NotifyPeer {
 public:
  NotifyPeer() = default;
  NotifyPeer(const NotifyPeer&) = delete;
  NotifyPeer& operator=(const NotifyPeer&) = delete;
  ~NotifyPeer() { stop(); }

  // Starts the peer, which ends by itself `idleSeconds` after its last client and controller have gone.
  // False when it did not come up.
  bool start(int idleSeconds = 30) {
    const std::string idle = std::to_string(idleSeconds);
    const std::string script = std::string(KASSARO_PEERS_DIR) + "/notify_peer.py";
    static int serial = 0;
#ifdef _WIN32
    const std::string portFile = "/tmp/kassaro-notify-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(GetTickCount()) + "-" + std::to_string(++serial) + ".ports";
    std::string command =
        "/usr/bin/python3 \"" + script + "\" --idle " + idle + " --port 0 --port-file \"" + portFile + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
#else
    const std::string portFile =
        "/tmp/kassaro-notify-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".ports";
    std::vector<std::string> args = {"/usr/bin/python3", script, "--idle", idle, "--port", "0", "--port-file",
                                     portFile};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
#endif
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         std::chrono::steady_clock::now() < until;) {
      std::ifstream in(localName(portFile));
      if (in >> wsPort_ >> controlPort_ && wsPort_ > 0 && controlPort_ > 0) {
        in.close();
        std::remove(localName(portFile).c_str());
        std::atomic<bool> cancel{false};
        control_ = ws::sock::connectTcp("127.0.0.1", uint16_t(controlPort_), 10000, cancel, 10000, nullptr);
        return control_ != ws::sock::kNoSocket;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  void stop() {
    if (control_ != ws::sock::kNoSocket) {
      command("{\"cmd\":\"quit\"}");
      ws::sock::closeSocket(control_);
      control_ = ws::sock::kNoSocket;
    }
#ifndef _WIN32
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
#endif
  }

  std::string url() const { return "ws://127.0.0.1:" + std::to_string(wsPort_); }

  // One command line out, its answer line back ("" when the peer is gone).
  std::string command(const std::string& json) {
    const std::string line = json + "\n";
    if (!ws::sock::sendAll(control_, line.data(), line.size())) return "";
    for (;;) {
      size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string answer = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return answer;
      }
      if (ws::sock::waitReadable(control_, 120000) != ws::sock::Wait::kReady) return "";
      char chunk[65536];
      long n = ws::sock::receiveSome(control_, chunk, sizeof chunk);
      if (n <= 0) return "";
      pending_.append(chunk, size_t(n));
    }
  }

  bool ok(const std::string& answer) { return jsonScalar(answer, "ok") == "true"; }

  bool push(const std::string& gbk) {
    return ok(command("{\"cmd\":\"push\",\"text\":" + jsonQuote(codepage::gbkToUtf8(gbk)) + "}"));
  }
  bool pushRaw(const std::string& hex) { return ok(command("{\"cmd\":\"push_raw\",\"hex\":\"" + hex + "\"}")); }
  bool pushBig(long size) { return ok(command("{\"cmd\":\"push_big\",\"size\":" + std::to_string(size) + "}")); }
  bool burst(const std::string& gbk, int count) {
    return ok(command("{\"cmd\":\"burst\",\"text\":" + jsonQuote(codepage::gbkToUtf8(gbk)) +
                      ",\"count\":" + std::to_string(count) + "}"));
  }
  bool simple(const std::string& cmd) { return ok(command("{\"cmd\":\"" + cmd + "\"}")); }
  bool closeAll() { return simple("close"); }
  bool dropAll() { return simple("drop"); }
  bool goSilent() { return simple("silent"); }
  bool down() { return simple("down"); }
  bool up() { return simple("up"); }
  bool downFor(double seconds) {
    return ok(command("{\"cmd\":\"down_for\",\"seconds\":" + std::to_string(seconds) + "}"));
  }
  // A text setting of the script (GBK); `null` sets JSON null.
  bool set(const std::string& key, const std::string& gbk, bool null = false) {
    const std::string value = null ? "null" : jsonQuote(codepage::gbkToUtf8(gbk));
    return ok(command("{\"cmd\":\"set\",\"key\":\"" + key + "\",\"value\":" + value + "}"));
  }
  bool setOnConnect(const std::vector<std::string>& gbkTexts) {
    std::string list;
    for (const auto& t : gbkTexts) list += (list.empty() ? "" : ",") + jsonQuote(codepage::gbkToUtf8(t));
    return ok(command("{\"cmd\":\"set\",\"key\":\"on_connect\",\"value\":[" + list + "]}"));
  }

  // The frames received so far, as GBK.
  std::vector<std::string> frames() { return toGbk(jsonStrings(command("{\"cmd\":\"frames\"}"), "frames")); }
  // Waits (within the peer) until `count` frames have arrived; the frames, as GBK, either way.
  std::vector<std::string> waitFrames(size_t count, double timeoutSeconds = 30) {
    return toGbk(jsonStrings(command("{\"cmd\":\"wait_frames\",\"count\":" + std::to_string(count) +
                                     ",\"timeout\":" + std::to_string(timeoutSeconds) + "}"),
                             "frames"));
  }
  bool clearFrames() { return simple("clear"); }
  // Waits until `count` connections have been accepted in all.
  bool waitAccepted(int count, double timeoutSeconds = 30) {
    return ok(command("{\"cmd\":\"wait_accepted\",\"count\":" + std::to_string(count) +
                      ",\"timeout\":" + std::to_string(timeoutSeconds) + "}"));
  }
  int status(const std::string& field) {
    std::string v = jsonScalar(command("{\"cmd\":\"status\"}"), field);
    return v.empty() || v == "false" ? 0 : v == "true" ? 1 : std::stoi(v);
  }

 private:
  static std::vector<std::string> toGbk(const std::vector<std::string>& utf8) {
    std::vector<std::string> out;
    for (const auto& s : utf8) out.push_back(codepage::utf8ToGbk(s));
    return out;
  }

  int wsPort_ = 0;
  int controlPort_ = 0;
  ws::sock::Handle control_ = ws::sock::kNoSocket;
  std::string pending_;
#ifndef _WIN32
  pid_t pid_ = -1;
#endif
};

}  // namespace peertest
