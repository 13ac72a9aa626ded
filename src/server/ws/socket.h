// The few TCP operations the WebSocket client needs, and the system's random source for its masking keys
// and handshake nonces: Winsock and the system's preferred generator on Windows, POSIX and getrandom
// natively.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ws::sock {

using Handle = std::intptr_t;
inline constexpr Handle kNoSocket = -1;

// Opens a TCP connection to host:port (a name or an address), giving up after `timeoutMs` or soon after
// `cancel` turns true. Sends on the socket fail after `sendTimeoutMs` instead of blocking for ever.
Handle connectTcp(const std::string& host, uint16_t port, int timeoutMs, const std::atomic<bool>& cancel,
                  int sendTimeoutMs, std::string* reason);

enum class Wait { kReady, kTimeout, kFailed };
Wait waitReadable(Handle socket, int timeoutMs);

// Bytes read (at most `size`), 0 when the peer has closed, below 0 on failure.
long receiveSome(Handle socket, char* buffer, size_t size);

// Sends everything, or fails.
bool sendAll(Handle socket, const char* data, size_t size);

// Sends what fits into the socket's buffer right now, without waiting; true when all of it did.
bool sendWithoutWaiting(Handle socket, const char* data, size_t size);

// Ends both directions: a thread blocked on the socket returns, the peer sees the connection end.
void shutdownBoth(Handle socket);

void closeSocket(Handle socket);

// Fills `out` from the operating system's cryptographic random source; false when it cannot.
bool randomBytes(uint8_t* out, size_t count);

}  // namespace ws::sock
