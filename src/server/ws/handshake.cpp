#include "server/ws/handshake.h"

#include <charconv>

#include "server/ws/sha1.h"
#include "web/codecs.h"

namespace ws {
namespace {

// Fixed by RFC 6455: the server appends it to our key before hashing.
constexpr std::string_view kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// True when the comma-separated header value holds `token` (the Connection header may list several).
bool hasToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    if (equalsIgnoreCase(trimBlanks(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

bool fail(std::string* reason, const char* why) {
  if (reason) *reason = why;
  return false;
}

}  // namespace

std::optional<Url> parseUrl(std::string_view url, std::string* reason) {
  auto hasScheme = [&](std::string_view scheme) {
    return url.size() >= scheme.size() && equalsIgnoreCase(url.substr(0, scheme.size()), scheme);
  };
  Url out;
  if (hasScheme("wss://")) {
    out.secure = true;
    out.port = 443;
    url.remove_prefix(6);
  } else if (hasScheme("ws://")) {
    url.remove_prefix(5);
  } else {
    fail(reason, "only ws:// and wss:// addresses are supported");
    return std::nullopt;
  }
  url = url.substr(0, url.find('#'));

  size_t pathStart = url.find_first_of("/?");
  std::string_view authority = url.substr(0, pathStart);
  std::string_view target = pathStart == std::string_view::npos ? std::string_view() : url.substr(pathStart);
  if (authority.find('@') != std::string_view::npos) {
    fail(reason, "user information in the address is not supported");
    return std::nullopt;
  }

  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      fail(reason, "unclosed IPv6 address");
      return std::nullopt;
    }
    out.host.assign(authority.substr(1, close - 1));
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        fail(reason, "bad address after the IPv6 host");
        return std::nullopt;
      }
      portText = rest.substr(1);
    }
  } else {
    size_t colon = authority.rfind(':');
    out.host.assign(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      portText = authority.substr(colon + 1);
    }
  }
  if (out.host.empty()) {
    fail(reason, "no host in the address");
    return std::nullopt;
  }
  if (!portText.empty()) {
    unsigned port = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (ec != std::errc() || end != portText.data() + portText.size() || port == 0 || port > 65535) {
      fail(reason, "bad port in the address");
      return std::nullopt;
    }
    out.port = uint16_t(port);
  }
  out.target = target.empty() || target.front() == '?' ? "/" + std::string(target) : std::string(target);
  return out;
}

std::string handshakeKey(const uint8_t nonce[16]) {
  return codecs::base64Encode(std::string(reinterpret_cast<const char*>(nonce), 16));
}

std::string acceptFor(std::string_view key) {
  std::string joined(key);
  joined.append(kAcceptGuid);
  Sha1Digest digest = sha1(joined);
  return codecs::base64Encode(std::string(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::string buildRequest(const Url& url, std::string_view key) {
  std::string host = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
  if (url.port != (url.secure ? 443 : 80)) host += ":" + std::to_string(url.port);
  std::string request = "GET " + url.target + " HTTP/1.1\r\n";
  request += "Host: " + host + "\r\n";
  request += "Upgrade: websocket\r\n";
  request += "Connection: Upgrade\r\n";
  request += "Sec-WebSocket-Key: " + std::string(key) + "\r\n";
  request += "Sec-WebSocket-Version: 13\r\n";
  request += "\r\n";
  return request;
}

ResponseStatus checkResponse(std::string_view received, std::string_view key, size_t& headerSize,
                             std::string* reason) {
  size_t end = received.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    if (received.size() > kMaxResponseHeader) {
      fail(reason, "the handshake response is too long");
      return ResponseStatus::kRejected;
    }
    return ResponseStatus::kNeedMore;
  }
  std::string_view head = received.substr(0, end + 2);  // every line ends in CRLF

  size_t lineEnd = head.find("\r\n");
  std::string_view statusLine = head.substr(0, lineEnd);
  head.remove_prefix(lineEnd + 2);
  // "HTTP/1.1 101 Switching Protocols": the status code is the second word.
  size_t space = statusLine.find(' ');
  if (statusLine.substr(0, 5) != "HTTP/" || space == std::string_view::npos ||
      statusLine.substr(space + 1, 3) != "101" ||
      (statusLine.size() > space + 4 && statusLine[space + 4] != ' ')) {
    if (reason) *reason = "the server did not switch protocols: " + std::string(statusLine);
    return ResponseStatus::kRejected;
  }

  bool upgrade = false, connection = false, accepted = false;
  std::string expected = acceptFor(key);
  while (!head.empty()) {
    lineEnd = head.find("\r\n");
    std::string_view line = head.substr(0, lineEnd);
    head.remove_prefix(lineEnd + 2);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = trimBlanks(line.substr(0, colon));
    std::string_view value = trimBlanks(line.substr(colon + 1));
    if (equalsIgnoreCase(name, "Upgrade"))
      upgrade = equalsIgnoreCase(value, "websocket");
    else if (equalsIgnoreCase(name, "Connection"))
      connection = hasToken(value, "upgrade");
    else if (equalsIgnoreCase(name, "Sec-WebSocket-Accept"))
      accepted = value == expected;
    else if (equalsIgnoreCase(name, "Sec-WebSocket-Extensions") || equalsIgnoreCase(name, "Sec-WebSocket-Protocol")) {
      // We asked for neither, so a server that picks one speaks something we cannot read.
      fail(reason, "the server chose an extension or subprotocol we did not offer");
      return ResponseStatus::kRejected;
    }
  }
  if (!upgrade || !connection) {
    fail(reason, "the response lacks the upgrade headers");
    return ResponseStatus::kRejected;
  }
  if (!accepted) {
    fail(reason, "Sec-WebSocket-Accept does not match our key");
    return ResponseStatus::kRejected;
  }
  headerSize = end + 4;
  return ResponseStatus::kAccepted;
}

}  // namespace ws
