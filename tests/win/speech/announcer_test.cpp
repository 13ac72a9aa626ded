// The announcer on the real main window: "试听" pressed on its button, payments announced from another
// thread as server events are, with the settings read from the controls at that moment.
#include <gtest/gtest.h>

#include "app/window_layer_win32.h"
#include "peer.h"
#include "voice/announcer.h"
#include "voice/media_player.h"
#include "voice/speech.h"
#include "web/codecs.h"

namespace {

using ui::Window;

const std::string kDefaultClosing = "感谢您的惠顾、欢迎再次光临！";

class Announcer : public ::testing::Test {
 protected:
  void SetUp() override {
    peer::setMode("normal");
    ui::bind(Window::Main, "按钮1", ui::Event::Clicked, voice::announceTest);
    ui::createWindow(Window::Main);
    ASSERT_TRUE(ui::windowExists(Window::Main));
    // As the creation handler does: keep the phrase the window was created with, then load settings.
    voice::captureStartupClosingPhrase();
    ASSERT_EQ(ui::text(Window::Main, "编辑框1"), kDefaultClosing);
    ASSERT_TRUE(ui::isChecked(Window::Main, "选择框2"));
    peer::clearLog();
    files_ = peer::audioFiles(voice::tempDirectory()).size();
  }
  void TearDown() override {
    player::close();
    ui::destroyWindow(Window::Main);
    peer::setMode("normal");
  }

  static void pressTest() { SendMessageW(ui::controlHandle(Window::Main, "按钮1"), BM_CLICK, 0, 0); }

  static void payment(const std::string& channel, const std::string& amount) {
    peer::onOtherThread([&] { voice::announcePayment(channel, amount); });
  }

  // The sentences the synthesis endpoint was asked for, as GBK text, oldest first.
  static std::vector<std::string> spoken() {
    std::vector<std::string> out;
    for (const peer::Request& r : peer::requests())
      if (r.scheme == "http") out.push_back(codecs::utf8ToGbk(r.param("tex")));
    return out;
  }

  static std::vector<std::string> voices() {
    std::vector<std::string> out;
    for (const peer::Request& r : peer::requests())
      if (r.scheme == "http") out.push_back(r.param("per"));
    return out;
  }

  size_t newFiles() const { return peer::audioFiles(voice::tempDirectory()).size() - files_; }

  size_t files_ = 0;
};

TEST_F(Announcer, TestButtonSpeaksTheFixedSentenceInTheChosenVoice) {
  ui::setCurrentIndex(Window::Main, "组合框1", 2);
  peer::forgetSound();
  pressTest();
  EXPECT_EQ(spoken(), (std::vector<std::string>{"微信收款100.00元！" + kDefaultClosing}));
  EXPECT_EQ(voices(), (std::vector<std::string>{"3"}));
  EXPECT_EQ(newFiles(), 1u);
  EXPECT_TRUE(peer::soundHeard());

  // A change of voice takes effect with the next announcement.
  ui::setCurrentIndex(Window::Main, "组合框1", 3);
  payment("微信收款", "1");
  EXPECT_EQ(voices(), (std::vector<std::string>{"3", "4"}));
}

TEST_F(Announcer, ClosingPhraseEditedAfterStartChangesPaymentsButNotTheTest) {
  ui::setText(Window::Main, "编辑框1", "谢谢惠顾");
  payment("支付宝收款", "25.80");
  pressTest();
  ui::setText(Window::Main, "编辑框1", "");
  payment("微信收款", "0.01");
  payment("微信收款", "");
  EXPECT_EQ(spoken(), (std::vector<std::string>{"支付宝收款25.80元！谢谢惠顾", "微信收款100.00元！" + kDefaultClosing,
                                                "微信收款0.01元！", "微信收款元！"}));
  EXPECT_EQ(newFiles(), 4u);
}

TEST_F(Announcer, AnnouncingOffMakesNoRequestButTheTestStillSpeaks) {
  ui::setChecked(Window::Main, "选择框2", false);
  payment("微信收款", "100");
  EXPECT_TRUE(peer::requests().empty());
  EXPECT_EQ(newFiles(), 0u);

  pressTest();
  EXPECT_EQ(peer::requests().size(), 2u);
  EXPECT_EQ(newFiles(), 1u);

  ui::setChecked(Window::Main, "选择框2", true);
  payment("微信收款", "100");
  EXPECT_EQ(spoken().back(), "微信收款100元！" + kDefaultClosing);
}

// The synchronous request pumps window messages, so a second click can arrive while the first test
// announcement is still being fetched; it is dropped.
TEST_F(Announcer, ClickWhileTheTestIsSpeakingIsIgnored) {
  peer::setMode("slow", 1);
  static bool firstRunning = false;
  static int clicksDuringFirst = 0;
  firstRunning = false;
  clicksDuringFirst = 0;
  SetTimer(nullptr, 0, 100, [](HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    if (firstRunning) ++clicksDuringFirst;
    pressTest();
  });
  firstRunning = true;
  pressTest();
  firstRunning = false;
  ASSERT_EQ(clicksDuringFirst, 1) << "the second click did not arrive while the first was speaking";
  EXPECT_EQ(spoken().size(), 1u);
  EXPECT_EQ(newFiles(), 1u);

  // Once the first is done, the next click speaks again.
  peer::setMode("normal");
  pressTest();
  EXPECT_EQ(spoken().size(), 2u);
}

}  // namespace
