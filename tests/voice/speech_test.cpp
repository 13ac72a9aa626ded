#include "voice/speech.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/percent_encoded.h"
#include "voice/announcer.h"

namespace {

std::string utf8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

}  // namespace

TEST(Speech, VoicesAndTokenAddress) {
  const int per[] = {0, 1, 3, 4};
  for (int v = 0; v < 4; ++v) EXPECT_EQ(voice::perOfVoice(v), per[v]) << v;
  EXPECT_EQ(voice::perOfVoice(5), 5);
  EXPECT_EQ(voice::perOfVoice(-1), -1);  // no selection in the combo box

  EXPECT_EQ(voice::tokenAddress(),
            std::string("https://") + KASSARO_TOKEN_HOST +
                "/oauth/2.0/token?grant_type=client_credentials"
                "&client_id=Qm7rT2vXkP9sLw4hNc8dZb3F&client_secret=Wd4kLp8sQz2mVx6nRt9bHc3jFy7gNa5e");
  // A hub inside the shop's network, without a certificate, is asked in clear.
  EXPECT_EQ(voice::tokenAddressAt("http://192.168.1.5:9002").substr(0, 48),
            "http://192.168.1.5:9002/oauth/2.0/token?grant_ty");
}

TEST(Speech, TokenOfTheServiceAnswer) {
  EXPECT_EQ(voice::tokenOf(R"({"refresh_token":"25.x","expires_in":2592000,"access_token":"24.6c5e-1.2-857"})"),
            "24.6c5e-1.2-857");
  EXPECT_EQ(voice::tokenOf(R"({"error":"invalid_client","error_description":"unknown client id"})"), "");
  EXPECT_EQ(voice::tokenOf(R"({"access_token": "spaced"})"), "");  // only the exact marker counts
  EXPECT_EQ(voice::tokenOf(R"({"access_token":"cut off)"), "");
  EXPECT_EQ(voice::tokenOf(utf8(u8R"({"scope":"音频","access_token":"t1"})")), "t1");  // read from UTF-8
}

TEST(Speech, SynthesisAddressByteForByte) {
  const std::string sentence = "微信收款100.00元！感谢您的惠顾、欢迎再次光临！";
  const std::string tex = percentEncoded(utf8(u8"微信收款100.00元！感谢您的惠顾、欢迎再次光临！"));
  EXPECT_EQ(voice::synthesisAddress(sentence, "24.abc-123", "0123456789", 3),
            std::string("http://") + KASSARO_SPEECH_HOST + "/text2audio?tex=" + tex +
                "&tok=24.abc-123&cuid=0123456789&ctp=1&lan=zh&vol=5&per=3");
  EXPECT_NE(tex.find("%31%30%30%2E%30%30"), std::string::npos);  // 100.00

  const std::string odd = voice::synthesisAddress("a&b=c+d%e f", "", "1", 5);
  EXPECT_NE(odd.find("tex=%61%26%62%3D%63%2B%64%25%65%20%66&tok=&cuid=1&ctp=1&lan=zh&vol=5&per=5"), std::string::npos);

  // A token that would end the address early or smuggle in a parameter is encoded.
  const std::string injected = voice::synthesisAddress("x", "t&per=9#", "1", 0);
  EXPECT_NE(injected.find("&tok=t%26per%3D9%23&cuid="), std::string::npos);
  EXPECT_EQ(injected.find("per=9"), std::string::npos);
}

TEST(Speech, AudioAnswerAndFiles) {
  EXPECT_TRUE(voice::isAudioAnswer("Content-Length: 5\r\nContent-Type: audio/mp3\r\n\r\n"));
  EXPECT_TRUE(voice::isAudioAnswer("X-Kind: audio/mp3\r\nContent-Type: application/json\r\n"));
  EXPECT_FALSE(voice::isAudioAnswer("Content-Type: Audio/MP3\r\n"));
  EXPECT_FALSE(voice::isAudioAnswer("Content-Type: audio/mpeg\r\n"));
  EXPECT_EQ(voice::audioFilePath("C:\\Temp\\", "01234567"), "C:\\Temp\\baidu_yuyin_01234567.mp3");

  const std::string dir = voice::tempDirectory();
  ASSERT_TRUE(!dir.empty() && (dir.back() == '\\' || dir.back() == '/'));
  const std::string path = voice::audioFilePath(dir, "speech_test");
  const std::string bytes("ID3\0\x01\xFF\xFB", 7);
  ASSERT_TRUE(voice::writeWholeFile(path, std::string(100, 'x')));
  ASSERT_TRUE(voice::writeWholeFile(path, bytes));  // truncates what was there
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
  in.close();
  std::remove(path.c_str());
  EXPECT_FALSE(voice::writeWholeFile(dir + "no such directory/x/baidu_yuyin_1.mp3", bytes));
}

TEST(Announcer, Sentences) {
  EXPECT_EQ(voice::paymentSentence("支付宝收款", "25.80", "感谢您的惠顾、欢迎再次光临！"),
            "支付宝收款25.80元！感谢您的惠顾、欢迎再次光临！");
  EXPECT_EQ(voice::paymentSentence("微信收款", "0.01", ""), "微信收款0.01元！");
  EXPECT_EQ(voice::paymentSentence("微信收款", "", "x"), "微信收款元！x");
  EXPECT_EQ(voice::testSentence("感谢您的惠顾、欢迎再次光临！"), "微信收款100.00元！感谢您的惠顾、欢迎再次光临！");
}

#ifndef _WIN32
// Natively there is no HTTP component: the exchange fails, and a failed synthesis writes nothing.
TEST(Speech, FailedExchangeWritesNothing) {
  const auto count = [] {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(voice::tempDirectory()))
      n += e.path().filename().string().rfind("baidu_yuyin_", 0) == 0;
    return n;
  };
  const int before = count();
  voice::speak("微信收款1元！", 0);
  EXPECT_EQ(count(), before);
}
#endif
