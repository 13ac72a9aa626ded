// speak against the local speech peer: the two requests exactly as the service must see them, the MP3
// in the temporary directory, the sound that reaches the sound card, and every failure mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "peer.h"
#include "support/percent_encoded.h"
#include "ui/window_layer.h"

#include <mmsystem.h>

#include "voice/media_player.h"
#include "voice/speech.h"
#include "web/codecs.h"

namespace {

const std::string kSentence = "微信收款100.00元！感谢您的惠顾、欢迎再次光临！";

bool allDigits(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class Speak : public ::testing::Test {
 protected:
  void SetUp() override {
    peer::setMode("normal");
    peer::clearLog();
    for (const std::string& name : peer::audioFiles(voice::tempDirectory())) before_.insert(name);
  }
  void TearDown() override {
    player::close();
    peer::setMode("normal");
  }

  // Announcement files that appeared since the test began.
  std::vector<std::string> newFiles() const {
    std::vector<std::string> out;
    for (const std::string& name : peer::audioFiles(voice::tempDirectory()))
      if (!before_.count(name)) out.push_back(name);
    return out;
  }

  static std::vector<peer::Request> only(const std::string& scheme) {
    std::vector<peer::Request> out;
    for (const peer::Request& r : peer::requests())
      if (r.scheme == scheme) out.push_back(r);
    return out;
  }

  std::set<std::string> before_;
};

TEST_F(Speak, SendsTheTokenAndSynthesisRequestsExactly) {
  peer::forgetSound();
  voice::speak(kSentence, 0);

  const auto all = peer::requests();
  ASSERT_EQ(all.size(), 2u);
  const peer::Request& token = all[0];
  const peer::Request& synthesis = all[1];

  EXPECT_EQ(token.scheme, "https");
  EXPECT_EQ(token.line, "GET /oauth/2.0/token?grant_type=client_credentials&client_id=Qm7rT2vXkP9sLw4hNc8dZb3F"
                        "&client_secret=Wd4kLp8sQz2mVx6nRt9bHc3jFy7gNa5e HTTP/1.1");
  EXPECT_EQ(token.header("Accept"), "*/*");
  EXPECT_EQ(token.header("Referer"), voice::tokenAddress());
  EXPECT_EQ(token.header("Accept-Language"), "zh-cn");
  EXPECT_EQ(token.header("User-Agent"), "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)");
  EXPECT_EQ(token.header("Content-Type"), "");
  std::vector<std::string> ours;  // in the order set; the component adds Host and Connection of its own
  for (const auto& [name, value] : token.headers)
    if (name == "Accept" || name == "Referer" || name == "Accept-Language" || name == "User-Agent")
      ours.push_back(name);
  EXPECT_EQ(ours, (std::vector<std::string>{"Accept", "Referer", "Accept-Language", "User-Agent"}));

  EXPECT_EQ(synthesis.scheme, "http");
  const std::string query = synthesis.query();
  const std::string tex = percentEncoded(codecs::gbkToUtf8(kSentence));
  const std::string prefix = "tex=" + tex + "&tok=";
  ASSERT_EQ(query.substr(0, prefix.size()), prefix);
  const std::string tok = synthesis.param("tok");
  EXPECT_EQ(tok.substr(0, 3), "24.");
  const std::string cuidAt = prefix + tok + "&cuid=";
  ASSERT_EQ(query.substr(0, cuidAt.size()), cuidAt);
  const std::string cuid = synthesis.param("cuid");
  EXPECT_EQ(cuid.size(), 10u);
  EXPECT_TRUE(allDigits(cuid)) << cuid;
  EXPECT_EQ(query, cuidAt + cuid + "&ctp=1&lan=zh&vol=5&per=0");
  EXPECT_EQ(synthesis.line, "GET /text2audio?" + query + " HTTP/1.1");
  EXPECT_EQ(synthesis.header("Referer"), "http://127.0.0.1:9080/text2audio?" + query);
  EXPECT_EQ(synthesis.header("Accept-Language"), "zh-cn");

  // The answer, byte for byte, in the temporary directory under a fresh name.
  const auto files = newFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string& name = files[0];
  ASSERT_EQ(name.size(), std::string("baidu_yuyin_12345678.mp3").size()) << name;
  EXPECT_TRUE(allDigits(name.substr(12, 8))) << name;
  const std::string mp3 = peer::readFile(voice::tempDirectory() + name);
  EXPECT_GT(mp3.size(), 10000u);
  EXPECT_TRUE(mp3.substr(0, 3) == "ID3" || static_cast<unsigned char>(mp3[0]) == 0xFF) << "not an MP3";

  // And the player made it heard.
  EXPECT_TRUE(peer::soundHeard());
}

TEST_F(Speak, VoicesMapToTheServiceVoices) {
  for (int voiceIndex : {0, 1, 2, 3, 5}) voice::speak("微信收款1元！", voiceIndex);
  std::vector<std::string> per;
  for (const peer::Request& r : only("http")) per.push_back(r.param("per"));
  EXPECT_EQ(per, (std::vector<std::string>{"0", "1", "3", "4", "5"}));
  EXPECT_EQ(newFiles().size(), 5u);
}

// Every failure ends quietly: no file, no sound, no message, no hang.
TEST_F(Speak, FailureModes) {
  peer::forgetSound();

  peer::setMode("no-token");  // the synthesis request still goes, with an empty token
  voice::speak(kSentence, 1);
  auto all = peer::requests();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].scheme + " " + all[1].scheme, "https http");
  EXPECT_NE(all[1].query().find("&tok=&cuid="), std::string::npos) << all[1].query();

  peer::setMode("no-audio");  // a JSON error instead of audio/mp3
  peer::clearLog();
  voice::speak(kSentence, 0);
  EXPECT_EQ(only("http").size(), 1u);

  peer::setMode("refused");  // the service is down
  peer::clearLog();
  voice::speak(kSentence, 0);
  peer::setMode("normal");
  for (const auto& r : peer::requests()) ADD_FAILURE() << "reached the service: " << r.scheme << " " << r.line;

  EXPECT_TRUE(newFiles().empty());
  EXPECT_EQ(peer::loudSamples(), 0u);

  // "audio/mp3" in any header of the answer counts as audio.
  peer::setMode("audio-elsewhere");
  voice::speak(kSentence, 0);
  EXPECT_EQ(newFiles().size(), 1u);
}

TEST_F(Speak, SlowServiceWithinTheTimeoutsStillSpeaks) {
  peer::setMode("slow", 3);
  peer::forgetSound();
  voice::speak(kSentence, 0);
  EXPECT_EQ(newFiles().size(), 1u);
  EXPECT_TRUE(peer::soundHeard());
}

// Two announcements from two threads: each gets its file, and the player ends up with one of them
// open and playing; their open and play never interleave (both run on the window thread).
TEST_F(Speak, TwoThreadsAtOnce) {
  ui::runOnWindowThread([] {});  // this thread is the window thread from here on
  peer::forgetSound();
  peer::onOtherThread([] {
    std::thread other([] { voice::speak("支付宝收款2元！", 3); });
    voice::speak("微信收款1元！", 0);
    other.join();
  });
  EXPECT_EQ(only("http").size(), 2u);
  EXPECT_EQ(newFiles().size(), 2u);
  EXPECT_TRUE(peer::soundHeard());
}

// A later announcement cuts off an earlier one that is still playing: open closes the previous file,
// so the process never holds more than the one MCI device.
TEST_F(Speak, NextOpenClosesThePreviousFile) {
  const auto openDevices = [] {
    char count[32] = {};
    mciSendStringA("sysinfo all quantity open", count, sizeof count, nullptr);
    return std::string(count);
  };
  voice::speak(kSentence, 0);
  EXPECT_EQ(openDevices(), "1");
  voice::speak(kSentence, 2);
  EXPECT_EQ(newFiles().size(), 2u);
  EXPECT_EQ(openDevices(), "1");
  player::close();
  EXPECT_EQ(openDevices(), "0");
}

}  // namespace
