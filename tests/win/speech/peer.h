// What the speech tests need of the local speech peer (tests/peers/speech_peer.py), which the ctest
// fixture "speech_peer" has started: its control port (failure modes, the request log), the sound the
// player sent to ALSA's file output, and a way to wait on the window thread the way the program does.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "web/codecs.h"

namespace peer {

// The peer's state directory, as a Windows path through drive Z:.
inline std::string stateDir() {
  std::string dir = std::string("Z:") + KASSARO_SPEECH_PEER_DIR;
  for (char& c : dir)
    if (c == '/') c = '\\';
  return dir + "\\";
}

// GET on the control port over a bare socket, independent of the request routine under test.
inline std::string control(const std::string& path) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  std::string answer;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(9081);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    send(s, request.data(), static_cast<int>(request.size()), 0);
    char buf[65536];
    for (int n; (n = recv(s, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
  }
  closesocket(s);
  const size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : answer.substr(body + 4);
}

inline void setMode(const std::string& name, double delaySeconds = 0) {
  control("/mode?name=" + name + "&delay=" + std::to_string(delaySeconds));
}

struct Request {
  int seq = 0;
  std::string scheme;
  std::string line;                                         // "GET /path HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers; // as received, in order
  double ms = -1;                                           // the peer's time for the exchange, once known

  std::string path() const {
    const size_t a = line.find(' '), b = line.rfind(' ');
    return a == std::string::npos || b <= a ? std::string() : line.substr(a + 1, b - a - 1);
  }
  std::string query() const {
    const std::string p = path();
    const size_t q = p.find('?');
    return q == std::string::npos ? std::string() : p.substr(q + 1);
  }
  std::string header(const std::string& name) const {
    for (const auto& [n, v] : headers)
      if (_stricmp(n.c_str(), name.c_str()) == 0) return v;
    return {};
  }
  // The value of a query parameter, percent-decoded.
  std::string param(const std::string& key) const {
    for (const std::string& pair : text::splitFields(query(), "&")) {
      if (pair.compare(0, key.size() + 1, key + "=") != 0) continue;
      std::string out;
      const std::string v = pair.substr(key.size() + 1);
      for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '%' && i + 2 < v.size()) {
          out.push_back(static_cast<char>(std::stoi(v.substr(i + 1, 2), nullptr, 16)));
          i += 2;
        } else {
          out.push_back(v[i]);
        }
      }
      return out;
    }
    return {};
  }
};

// Every request the service ports received since the last clearLog, oldest first.
inline std::vector<Request> requests() {
  std::vector<Request> out;
  const std::string log = control("/log");
  Request* current = nullptr;
  bool inHeaders = false;
  for (std::string line : text::splitFields(log, "\n")) {
    if (line.rfind("@@ request ", 0) == 0) {
      out.emplace_back();
      current = &out.back();
      char scheme[16] = {};
      sscanf(line.c_str(), "@@ request %d %15s", &current->seq, scheme);
      current->scheme = scheme;
      inHeaders = false;
    } else if (line == "@@ end") {
      current = nullptr;
    } else if (line.rfind("@@ timing ", 0) == 0) {
      int seq = 0;
      double ms = 0;
      sscanf(line.c_str(), "@@ timing %d %lf", &seq, &ms);
      for (Request& r : out)
        if (r.seq == seq) r.ms = ms;
    } else if (current && !inHeaders) {
      current->line = line;
      inHeaders = true;
    } else if (current) {
      const size_t colon = line.find(": ");
      current->headers.emplace_back(line.substr(0, colon), colon == std::string::npos ? "" : line.substr(colon + 2));
    }
  }
  return out;
}

inline void clearLog() { control("/clear"); }

// ---- Sound ------------------------------------------------------------------------------------------

// ALSA's file output of the test process (see the fixture's asound.conf): 16-bit stereo samples.
inline std::string captureFile() { return stateDir() + "capture.raw"; }

// Forgets what was played before, so that whatever sound shows up next is the next announcement's.
inline void forgetSound() { DeleteFileA(captureFile().c_str()); }

// Samples louder than a whisper in the capture file.
inline size_t loudSamples() {
  HANDLE f = CreateFileA(captureFile().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 0;
  size_t loud = 0;
  std::vector<int16_t> buf(65536);
  DWORD got = 0;
  while (ReadFile(f, buf.data(), static_cast<DWORD>(buf.size() * 2), &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got / 2; ++i) loud += buf[i] > 1000 || buf[i] < -1000;
  }
  CloseHandle(f);
  return loud;
}

// Waits, up to `patience`, for a tenth of a second's worth of loud samples (48 kHz stereo).
inline bool soundHeard(std::chrono::milliseconds patience = std::chrono::seconds(15)) {
  const auto until = std::chrono::steady_clock::now() + patience;
  do {
    if (loudSamples() >= 9600) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

// ---- Files ------------------------------------------------------------------------------------------

// The names of the announcement files in the temporary directory.
inline std::vector<std::string> audioFiles(const std::string& tempDir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA((tempDir + "baidu_yuyin_*.mp3").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return names;
  do names.push_back(found.cFileName);
  while (FindNextFileA(h, &found));
  FindClose(h);
  return names;
}

inline std::string readFile(const std::string& path) {
  std::string out;
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return out;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(f);
  return out;
}

// ---- Threads ----------------------------------------------------------------------------------------

// Runs `work` on a thread of its own, the way server events run, while this (the window) thread goes
// on processing messages, as the program's message loop would.
inline void onOtherThread(const std::function<void()>& work) {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread t([&] {
    work();
    SetEvent(done);
  });
  while (MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  t.join();
  CloseHandle(done);
}

}  // namespace peer
