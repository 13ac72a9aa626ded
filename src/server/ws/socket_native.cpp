// POSIX sockets for the native build, where the client is tested against the real peer.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <cstring>

#include "server/ws/socket.h"

namespace ws::sock {
namespace {

// A slice of the connect wait, so that a cancel is noticed soon.
constexpr int kSliceMs = 100;

// The clocks come with <thread>; <chrono> itself cannot be included, as its "µs" literal has no GBK form.
using Deadline = std::chrono::steady_clock::time_point;

int msUntil(Deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : int(left.count());
}

void setReason(std::string* reason, const std::string& why) {
  if (reason) *reason = why;
}

// Connects one address; the socket is non-blocking meanwhile so that the wait can be bounded.
int connectOne(const addrinfo* ai, Deadline deadline, const std::atomic<bool>& cancel, std::string* reason) {
  int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) {
    setReason(reason, std::string("socket: ") + std::strerror(errno));
    return -1;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
  if (rc != 0 && errno != EINPROGRESS) {
    setReason(reason, std::string("connect: ") + std::strerror(errno));
    ::close(fd);
    return -1;
  }
  while (rc != 0) {
    if (cancel.load()) {
      setReason(reason, "cancelled");
      ::close(fd);
      return -1;
    }
    int left = msUntil(deadline);
    if (left == 0) {
      setReason(reason, "connect: timed out");
      ::close(fd);
      return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int n = ::poll(&p, 1, left < kSliceMs ? left : kSliceMs);
    if (n < 0 && errno != EINTR) {
      setReason(reason, std::string("poll: ") + std::strerror(errno));
      ::close(fd);
      return -1;
    }
    if (n > 0) {
      int error = 0;
      socklen_t len = sizeof error;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
      if (error != 0) {
        setReason(reason, std::string("connect: ") + std::strerror(error));
        ::close(fd);
        return -1;
      }
      rc = 0;
    }
  }
  fcntl(fd, F_SETFL, flags);
  return fd;
}

}  // namespace

Handle connectTcp(const std::string& host, uint16_t port, int timeoutMs, const std::atomic<bool>& cancel,
                  int sendTimeoutMs, std::string* reason) {
  Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) {
    setReason(reason, std::string("getaddrinfo: ") + gai_strerror(rc));
    return kNoSocket;
  }
  int fd = -1;
  for (addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) fd = connectOne(ai, deadline, cancel, reason);
  ::freeaddrinfo(list);
  if (fd < 0) return kNoSocket;

  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{sendTimeoutMs / 1000, (sendTimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

Wait waitReadable(Handle socket, int timeoutMs) {
  pollfd p{int(socket), POLLIN, 0};
  int n = ::poll(&p, 1, timeoutMs);
  if (n < 0) return errno == EINTR ? Wait::kTimeout : Wait::kFailed;
  return n == 0 ? Wait::kTimeout : Wait::kReady;
}

long receiveSome(Handle socket, char* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::recv(int(socket), buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return long(n);
  }
}

bool sendAll(Handle socket, const char* data, size_t size) {
  while (size > 0) {
    // MSG_NOSIGNAL: a peer that has gone must give us an error, not a SIGPIPE that ends the program.
    ssize_t n = ::send(int(socket), data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

bool sendWithoutWaiting(Handle socket, const char* data, size_t size) {
  ssize_t n = ::send(int(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  return n == ssize_t(size);
}

void shutdownBoth(Handle socket) { ::shutdown(int(socket), SHUT_RDWR); }

void closeSocket(Handle socket) { ::close(int(socket)); }

bool randomBytes(uint8_t* out, size_t count) {
  while (count > 0) {
    const ssize_t n = getrandom(out, count, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    count -= size_t(n);
  }
  return true;
}

}  // namespace ws::sock
