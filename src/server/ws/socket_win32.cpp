// Winsock for the program. Winsock has no MSG_NOSIGNAL or SIGPIPE to worry about; it needs WSAStartup once.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>

#include <mutex>
#include <thread>

#include "server/ws/socket.h"

namespace ws::sock {
namespace {

// A slice of the connect wait, so that a cancel is noticed soon.
constexpr int kSliceMs = 100;

bool startWinsock() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

// The clocks come with <thread>; <chrono> itself cannot be included, as its "µs" literal has no GBK form.
using Deadline = std::chrono::steady_clock::time_point;

int msUntil(Deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : int(left.count());
}

void setReason(std::string* reason, const char* what, int error) {
  if (reason) *reason = std::string(what) + ": Winsock error " + std::to_string(error);
}

// Connects one address; the socket is non-blocking meanwhile so that the wait can be bounded.
SOCKET connectOne(const addrinfo* ai, Deadline deadline, const std::atomic<bool>& cancel, std::string* reason) {
  SOCKET s = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (s == INVALID_SOCKET) {
    setReason(reason, "socket", WSAGetLastError());
    return INVALID_SOCKET;
  }
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  if (::connect(s, ai->ai_addr, int(ai->ai_addrlen)) != 0) {
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      setReason(reason, "connect", error);
      closesocket(s);
      return INVALID_SOCKET;
    }
    for (;;) {
      if (cancel.load()) {
        if (reason) *reason = "cancelled";
        closesocket(s);
        return INVALID_SOCKET;
      }
      int left = msUntil(deadline);
      if (left == 0) {
        if (reason) *reason = "connect: timed out";
        closesocket(s);
        return INVALID_SOCKET;
      }
      int slice = left < kSliceMs ? left : kSliceMs;
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval tv{slice / 1000, (slice % 1000) * 1000};
      int n = ::select(0, nullptr, &writable, &failed, &tv);
      if (n == SOCKET_ERROR) {
        setReason(reason, "select", WSAGetLastError());
        closesocket(s);
        return INVALID_SOCKET;
      }
      // A refused connection shows in the exception set, not as writable.
      if (n > 0 && FD_ISSET(s, &failed)) {
        int soError = 0;
        int len = sizeof soError;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
        setReason(reason, "connect", soError ? soError : WSAECONNREFUSED);
        closesocket(s);
        return INVALID_SOCKET;
      }
      if (n > 0) break;
    }
  }
  nonBlocking = 0;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  return s;
}

}  // namespace

Handle connectTcp(const std::string& host, uint16_t port, int timeoutMs, const std::atomic<bool>& cancel,
                  int sendTimeoutMs, std::string* reason) {
  if (!startWinsock()) {
    if (reason) *reason = "WSAStartup failed";
    return kNoSocket;
  }
  Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) {
    setReason(reason, "getaddrinfo", rc);
    return kNoSocket;
  }
  SOCKET s = INVALID_SOCKET;
  for (addrinfo* ai = list; ai && s == INVALID_SOCKET; ai = ai->ai_next) s = connectOne(ai, deadline, cancel, reason);
  ::freeaddrinfo(list);
  if (s == INVALID_SOCKET) return kNoSocket;

  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  DWORD timeout = DWORD(sendTimeoutMs);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  return Handle(s);
}

Wait waitReadable(Handle socket, int timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(SOCKET(socket), &readable);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int n = ::select(0, &readable, nullptr, nullptr, &tv);
  if (n == SOCKET_ERROR) return Wait::kFailed;
  return n == 0 ? Wait::kTimeout : Wait::kReady;
}

long receiveSome(Handle socket, char* buffer, size_t size) {
  int chunk = size > 0x7FFFFFFF ? 0x7FFFFFFF : int(size);
  int n = ::recv(SOCKET(socket), buffer, chunk, 0);
  return n == SOCKET_ERROR ? -1 : long(n);
}

bool sendAll(Handle socket, const char* data, size_t size) {
  while (size > 0) {
    int chunk = size > 0x40000000 ? 0x40000000 : int(size);
    int n = ::send(SOCKET(socket), data, chunk, 0);
    if (n == SOCKET_ERROR || n == 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

bool sendWithoutWaiting(Handle socket, const char* data, size_t size) {
  // Winsock has no MSG_DONTWAIT: send only when select says there is room now.
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(SOCKET(socket), &writable);
  timeval tv{0, 0};
  if (::select(0, nullptr, &writable, nullptr, &tv) != 1) return false;
  return ::send(SOCKET(socket), data, int(size), 0) == int(size);
}

void shutdownBoth(Handle socket) { ::shutdown(SOCKET(socket), SD_BOTH); }

void closeSocket(Handle socket) { ::closesocket(SOCKET(socket)); }

bool randomBytes(uint8_t* out, size_t count) {
  return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace ws::sock
