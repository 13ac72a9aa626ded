// The WebSocket client's pure parts: SHA-1, the handshake texts, reading and building frames.
#include <gtest/gtest.h>

#include <string>

#include "server/ws/frame.h"
#include "server/ws/handshake.h"
#include "server/ws/sha1.h"

namespace {

std::string hex(const ws::Sha1Digest& d) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : d) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(char(b));
  return out;
}

TEST(WsSha1, KnownDigests) {
  EXPECT_EQ(hex(ws::sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hex(ws::sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  // 56 bytes: the length no longer fits in the first padded block.
  EXPECT_EQ(hex(ws::sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(hex(ws::sha1(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(hex(ws::sha1(std::string(64, 'x'))), "bb2fa3ee7afb9f54c6dfb5d021f14b1ffe40c163");
}

TEST(WsHandshake, AcceptAndRequest) {
  // The example exchange of RFC 6455, section 1.3.
  EXPECT_EQ(ws::acceptFor("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");

  const uint8_t nonce[16] = {'t', 'h', 'e', ' ', 's', 'a', 'm', 'p', 'l', 'e', ' ', 'n', 'o', 'n', 'c', 'e'};
  EXPECT_EQ(ws::handshakeKey(nonce), "dGhlIHNhbXBsZSBub25jZQ==");

  ws::Url url{"127.0.0.1", 9002, "/"};
  std::string request = ws::buildRequest(url, "KEY");
  EXPECT_EQ(request.rfind("GET / HTTP/1.1\r\n", 0), 0u);
  EXPECT_NE(request.find("\r\nHost: 127.0.0.1:9002\r\n"), std::string::npos);
  EXPECT_NE(request.find("\r\nSec-WebSocket-Key: KEY\r\n"), std::string::npos);
  EXPECT_NE(request.find("\r\nSec-WebSocket-Version: 13\r\n"), std::string::npos);
  EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");
  EXPECT_NE(ws::buildRequest(ws::Url{"example.org", 80, "/a?b"}, "K").find("\r\nHost: example.org\r\n"),
            std::string::npos);
}

TEST(WsHandshake, ChecksTheResponse) {
  const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
  const std::string good =
      "HTTP/1.1 101 Switching Protocols\r\nupgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\n"
      "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
  size_t headerSize = 0;
  std::string reason;
  EXPECT_EQ(ws::checkResponse(good + "\x81\x02hi", key, headerSize, &reason), ws::ResponseStatus::kAccepted);
  EXPECT_EQ(headerSize, good.size());
  EXPECT_EQ(ws::checkResponse(good.substr(0, good.size() - 1), key, headerSize), ws::ResponseStatus::kNeedMore);

  std::string wrongAccept = good;
  wrongAccept.replace(wrongAccept.find("s3pP"), 4, "AAAA");
  EXPECT_EQ(ws::checkResponse(wrongAccept, key, headerSize, &reason), ws::ResponseStatus::kRejected);
  EXPECT_NE(reason.find("Sec-WebSocket-Accept"), std::string::npos);
  EXPECT_EQ(ws::checkResponse("HTTP/1.1 403 Forbidden\r\n\r\n", key, headerSize), ws::ResponseStatus::kRejected);
  EXPECT_EQ(ws::checkResponse("HTTP/1.1 1010 Odd\r\n\r\n", key, headerSize), ws::ResponseStatus::kRejected);
  std::string noUpgrade = good;
  noUpgrade.replace(noUpgrade.find("upgrade: WebSocket"), 18, "X-Other: WebSocket");
  EXPECT_EQ(ws::checkResponse(noUpgrade, key, headerSize), ws::ResponseStatus::kRejected);
  std::string extension = good;
  extension.insert(extension.size() - 2, "Sec-WebSocket-Extensions: permessage-deflate\r\n");
  EXPECT_EQ(ws::checkResponse(extension, key, headerSize), ws::ResponseStatus::kRejected);
  // A header that never ends is refused once it is longer than any real one.
  EXPECT_EQ(ws::checkResponse(std::string(ws::kMaxResponseHeader + 1, 'x'), key, headerSize),
            ws::ResponseStatus::kRejected);
}

TEST(WsHandshake, ParsesAddresses) {
  auto url = ws::parseUrl("ws://127.0.0.1:9002");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->host, "127.0.0.1");
  EXPECT_EQ(url->port, 9002);
  EXPECT_EQ(url->target, "/");

  url = ws::parseUrl("WS://example.org/path/x?a=1#frag");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->host, "example.org");
  EXPECT_EQ(url->port, 80);
  EXPECT_EQ(url->target, "/path/x?a=1");

  url = ws::parseUrl("ws://[::1]:8080?q");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->host, "::1");
  EXPECT_EQ(url->port, 8080);
  EXPECT_EQ(url->target, "/?q");

  // wss: TLS, on 443 unless told, which the Host header then leaves out.
  url = ws::parseUrl("WSS://hub.example.org/counter");
  ASSERT_TRUE(url);
  EXPECT_TRUE(url->secure);
  EXPECT_EQ(url->port, 443);
  EXPECT_NE(ws::buildRequest(*url, "K").find("\r\nHost: hub.example.org\r\n"), std::string::npos);
  url = ws::parseUrl("wss://hub.example.org:80/");
  ASSERT_TRUE(url);
  EXPECT_NE(ws::buildRequest(*url, "K").find("\r\nHost: hub.example.org:80\r\n"), std::string::npos);
  EXPECT_FALSE(ws::parseUrl("ws://127.0.0.1:9002")->secure);

  std::string reason;
  EXPECT_FALSE(ws::parseUrl("https://127.0.0.1:9002", &reason));
  EXPECT_FALSE(reason.empty());
  for (const char* bad : {"", "http://a/", "ws://", "ws://:80/", "ws://a:0/", "ws://a:65536/", "ws://a:8x/",
                          "ws://u@a/", "ws://[::1/", "wss://", "wss:/a/"})
    EXPECT_FALSE(ws::parseUrl(bad)) << bad;
}

TEST(WsFrames, BuildsMaskedClientFrames) {
  const uint8_t mask[4] = {0x37, 0xfa, 0x21, 0x3d};
  // RFC 6455 section 5.7: a masked "Hello".
  EXPECT_EQ(ws::buildFrame(ws::kText, "Hello", mask), bytes({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d,
                                                            0x51, 0x58}));
  std::string medium = ws::buildFrame(ws::kBinary, std::string(256, 'a'), mask);
  EXPECT_EQ(medium.substr(0, 4), bytes({0x82, 0xFE, 0x01, 0x00}));
  EXPECT_EQ(medium.size(), 4u + 4 + 256);
  std::string large = ws::buildFrame(ws::kText, std::string(65536, 'a'), mask);
  EXPECT_EQ(large.substr(0, 10), bytes({0x81, 0xFF, 0, 0, 0, 0, 0, 1, 0, 0}));
  EXPECT_EQ(ws::buildFrame(ws::kClose, ws::closePayload(1000), mask, true).substr(0, 2), bytes({0x88, 0x82}));
}

TEST(WsFrames, ReadsServerFrames) {
  ws::Frame frame;
  // RFC 6455 section 5.7: an unmasked "Hello", then the start of the next frame.
  std::string data = bytes({0x81, 0x05, 'H', 'e', 'l', 'l', 'o', 0x89});
  ASSERT_EQ(ws::readFrame(data, frame), ws::FrameStatus::kFrame);
  EXPECT_TRUE(frame.fin);
  EXPECT_EQ(frame.opcode, ws::kText);
  EXPECT_EQ(frame.payload, "Hello");
  EXPECT_EQ(frame.frameSize, 7u);
  EXPECT_EQ(ws::readFrame(std::string_view(data).substr(7), frame), ws::FrameStatus::kNeedMore);
  EXPECT_EQ(ws::readFrame(std::string_view(data).substr(0, 6), frame), ws::FrameStatus::kNeedMore);

  std::string medium = bytes({0x02, 0x7E, 0x01, 0x00}) + std::string(256, 'b');
  ASSERT_EQ(ws::readFrame(medium, frame), ws::FrameStatus::kFrame);
  EXPECT_FALSE(frame.fin);
  EXPECT_EQ(frame.payload.size(), 256u);
  EXPECT_EQ(ws::readFrame(medium.substr(0, 3), frame), ws::FrameStatus::kNeedMore);

  std::string large = bytes({0x82, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0}) + std::string(65536, 'c');
  ASSERT_EQ(ws::readFrame(large, frame), ws::FrameStatus::kFrame);
  EXPECT_EQ(frame.frameSize, large.size());
  EXPECT_EQ(ws::readFrame(large.substr(0, 9), frame), ws::FrameStatus::kNeedMore);

  // The size limit is known from the header alone, before the payload is buffered.
  EXPECT_EQ(ws::readFrame(bytes({0x82, 0x7F, 0, 0, 0, 0, 0x04, 0, 0, 1}), frame), ws::FrameStatus::kTooBig);
  EXPECT_EQ(ws::readFrame(bytes({0x82, 0x7E, 0x01, 0x00}), frame, 255), ws::FrameStatus::kTooBig);
}

TEST(WsFrames, RefusesBrokenFrames) {
  ws::Frame frame;
  const std::pair<const char*, std::string> broken[] = {
      {"masked", bytes({0x81, 0x81, 1, 2, 3, 4, 'x'})},
      {"rsv1", bytes({0xC1, 0x00})},
      {"rsv3", bytes({0x91, 0x00})},
      {"reserved data opcode", bytes({0x83, 0x00})},
      {"reserved control opcode", bytes({0x8B, 0x00})},
      {"length top bit", bytes({0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0})},
      {"long control", bytes({0x89, 0x7E, 0x00, 0x7E}) + std::string(126, 'p')},
      {"fragmented control", bytes({0x09, 0x00})},
  };
  for (const auto& [what, data] : broken) EXPECT_EQ(ws::readFrame(data, frame), ws::FrameStatus::kProtocolError) << what;
}

ws::Frame makeFrame(bool fin, uint8_t opcode, std::string_view payload) {
  ws::Frame f;
  f.fin = fin;
  f.opcode = opcode;
  f.payload = payload;
  return f;
}

TEST(WsFrames, AssemblesMessages) {
  ws::Assembly assembly;
  auto a = ws::takeFrame(assembly, makeFrame(true, ws::kText, "whole"));
  EXPECT_EQ(a.kind, ws::FrameAction::kMessage);
  EXPECT_EQ(a.messageType, ws::kText);
  EXPECT_EQ(a.data, "whole");

  // Fragments with a ping between them: the ping is answered, the message comes out whole.
  EXPECT_EQ(ws::takeFrame(assembly, makeFrame(false, ws::kBinary, "ab")).kind, ws::FrameAction::kNothing);
  a = ws::takeFrame(assembly, makeFrame(true, ws::kPing, "p"));
  EXPECT_EQ(a.kind, ws::FrameAction::kPing);
  EXPECT_EQ(a.data, "p");
  EXPECT_EQ(ws::takeFrame(assembly, makeFrame(false, ws::kContinuation, "cd")).kind, ws::FrameAction::kNothing);
  a = ws::takeFrame(assembly, makeFrame(true, ws::kContinuation, "ef"));
  EXPECT_EQ(a.kind, ws::FrameAction::kMessage);
  EXPECT_EQ(a.messageType, ws::kBinary);
  EXPECT_EQ(a.data, "abcdef");

  EXPECT_EQ(ws::takeFrame(assembly, makeFrame(true, ws::kPong, "")).kind, ws::FrameAction::kPong);
  a = ws::takeFrame(assembly, makeFrame(true, ws::kClose, ws::closePayload(1001)));
  EXPECT_EQ(a.kind, ws::FrameAction::kClose);
  EXPECT_EQ(a.data, ws::closePayload(1001));
}

TEST(WsFrames, RefusesBrokenSequences) {
  ws::Assembly assembly;
  auto a = ws::takeFrame(assembly, makeFrame(true, ws::kContinuation, "orphan"));
  EXPECT_EQ(a.kind, ws::FrameAction::kFail);
  EXPECT_EQ(a.failCode, ws::kCloseProtocolError);

  ws::takeFrame(assembly, makeFrame(false, ws::kText, "a"));
  a = ws::takeFrame(assembly, makeFrame(true, ws::kText, "b"));
  EXPECT_EQ(a.kind, ws::FrameAction::kFail);

  EXPECT_EQ(ws::takeFrame(assembly, makeFrame(true, ws::kClose, "x")).kind, ws::FrameAction::kFail);

  // The limit holds for the whole message, not per fragment.
  ws::Assembly small;
  EXPECT_EQ(ws::takeFrame(small, makeFrame(false, ws::kText, "12345"), 8).kind, ws::FrameAction::kNothing);
  a = ws::takeFrame(small, makeFrame(true, ws::kContinuation, "6789"), 8);
  EXPECT_EQ(a.kind, ws::FrameAction::kFail);
  EXPECT_EQ(a.failCode, ws::kCloseTooBig);
}

}  // namespace
