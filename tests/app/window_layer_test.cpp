// The window layer over the window definitions: what every subsystem that writes into controls relies
// on. Runs against the in-memory layer natively and against real controls under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/window_defs.h"
#include "ui/window_layer.h"

namespace {

using ui::Window;

class WindowLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::destroyWindow(Window::Main);
    ui::createWindow(Window::Main);
  }
  void TearDown() override {
    ui::destroyWindow(Window::Main);
    ui::destroyWindow(Window::Registration);
  }
};

// What the layer reads back from a fresh window is what the definitions give each control; and what
// the definitions leave to the start: no voice chosen, the first page shown, the login button enabled.
TEST_F(WindowLayer, ControlsStartWithTheirDefinitionsContent) {
  for (const ui::ControlDef& d : ui::controlDefs(Window::Main)) {
    SCOPED_TRACE(d.name);
    EXPECT_EQ(ui::isVisible(Window::Main, d.name), d.visible);
    switch (d.kind) {
      case ui::Kind::Label:
      case ui::Kind::GroupBox:
      case ui::Kind::Button:
        EXPECT_EQ(ui::text(Window::Main, d.name), d.text);
        break;
      case ui::Kind::CheckBox:
        EXPECT_EQ(ui::text(Window::Main, d.name), d.text);
        EXPECT_EQ(ui::isChecked(Window::Main, d.name), d.checked);
        break;
      case ui::Kind::Edit:
        EXPECT_EQ(ui::text(Window::Main, d.name), d.text);
        EXPECT_EQ(ui::inputMode(Window::Main, d.name), d.inputMode);
        break;
      case ui::Kind::List:
        EXPECT_EQ(ui::columnCount(Window::Main, d.name), int(d.columns.size()));
        ASSERT_EQ(ui::rowCount(Window::Main, d.name), int(d.rows.size()));
        for (size_t r = 0; r < d.rows.size(); ++r)
          for (size_t c = 0; c < d.rows[r].size(); ++c)
            EXPECT_EQ(ui::cell(Window::Main, d.name, int(r), int(c)), d.rows[r][c]);
        break;
      case ui::Kind::Combo:
        EXPECT_EQ(ui::currentIndex(Window::Main, d.name), -1);
        break;
      case ui::Kind::Tab:
        EXPECT_EQ(ui::currentIndex(Window::Main, d.name), 0);
        break;
      case ui::Kind::MediaPlayer:
        break;
    }
  }
  EXPECT_TRUE(ui::isEnabled(Window::Main, "按钮_登陆"));
}

TEST_F(WindowLayer, CaptionsContentsAndStatesCanBeWritten) {
  ui::setText(Window::Main, "标签_监控状态", "监控状态：√");
  EXPECT_EQ(ui::text(Window::Main, "标签_监控状态"), "监控状态：√");
  ui::setText(Window::Main, "编辑框_登陆账号", "abc-12");  // text set by the program is not filtered
  EXPECT_EQ(ui::text(Window::Main, "编辑框_登陆账号"), "abc-12");
  ui::setChecked(Window::Main, "选择框3", true);
  EXPECT_TRUE(ui::isChecked(Window::Main, "选择框3"));
  ui::setEnabled(Window::Main, "按钮_登陆", false);
  EXPECT_FALSE(ui::isEnabled(Window::Main, "按钮_登陆"));
  ui::setVisible(Window::Main, "标签_监控状态", false);
  EXPECT_FALSE(ui::isVisible(Window::Main, "标签_监控状态"));
  ui::setInputMode(Window::Main, "编辑框_登陆密码", ui::InputMode::Password);
  EXPECT_EQ(ui::inputMode(Window::Main, "编辑框_登陆密码"), ui::InputMode::Password);
  ui::setCurrentIndex(Window::Main, "高级选择夹1", 1);
  EXPECT_EQ(ui::currentIndex(Window::Main, "高级选择夹1"), 1);
}

TEST_F(WindowLayer, ComboSelectionOutsideItsItemsSelectsNothing) {
  ui::setCurrentIndex(Window::Main, "组合框1", 3);
  EXPECT_EQ(ui::currentIndex(Window::Main, "组合框1"), 3);
  EXPECT_EQ(ui::text(Window::Main, "组合框1"), "度丫丫");
  ui::setCurrentIndex(Window::Main, "组合框1", 7);
  EXPECT_EQ(ui::currentIndex(Window::Main, "组合框1"), -1);
}

TEST_F(WindowLayer, ListRowsAreAppendedFilledAndCleared) {
  const char* list = "超级列表框_微信收款";
  EXPECT_EQ(ui::appendRow(Window::Main, list, ui::kIconWeChat), 0);
  EXPECT_EQ(ui::appendRow(Window::Main, list, ui::kIconAlipay), 1);
  ui::setCell(Window::Main, list, 1, 3, "100.00");
  ui::setCell(Window::Main, list, 1, 9, "ignored");
  ui::setCell(Window::Main, list, 5, 0, "ignored");
  EXPECT_EQ(ui::cell(Window::Main, list, 1, 3), "100.00");
  EXPECT_EQ(ui::cell(Window::Main, list, 0, 3), "");
  EXPECT_EQ(ui::cell(Window::Main, list, 5, 0), "");
  EXPECT_EQ(ui::rowIcon(Window::Main, list, 0), ui::kIconWeChat);
  EXPECT_EQ(ui::rowIcon(Window::Main, list, 1), ui::kIconAlipay);
  ui::clearRows(Window::Main, list);
  EXPECT_EQ(ui::rowCount(Window::Main, list), 0);
}

TEST_F(WindowLayer, SameNameInTwoWindowsAreTwoControls) {
  EXPECT_FALSE(ui::windowExists(Window::Registration));
  EXPECT_EQ(ui::text(Window::Registration, "按钮1"), "");  // no window, no control
  ui::createWindow(Window::Registration);
  EXPECT_TRUE(ui::windowExists(Window::Registration));
  EXPECT_EQ(ui::text(Window::Registration, "按钮1"), "注册");
  EXPECT_EQ(ui::text(Window::Main, "按钮1"), "试听");
  EXPECT_EQ(ui::inputMode(Window::Registration, "编辑框_注册账号"), ui::InputMode::WholeNumber);
  ui::destroyWindow(Window::Registration);
  EXPECT_FALSE(ui::windowExists(Window::Registration));
}

TEST_F(WindowLayer, UnknownNamesDoNothingAndReadEmpty) {
#ifdef _WIN32
  ui::setText(Window::Main, "没有这个", "x");
  EXPECT_EQ(ui::text(Window::Main, "没有这个"), "");
  EXPECT_EQ(ui::rowCount(Window::Main, "没有这个"), 0);
#else
  // Natively a name the definitions do not hold is a typo, and it must show in the tests.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ui::setText(Window::Main, "没有这个", "x"), "no control named");
  EXPECT_DEATH(ui::rowCount(Window::Main, "没有这个"), "no control named");
#endif
  EXPECT_EQ(ui::appendRow(Window::Main, "标签8", 0), -1);  // a label is no list
}

TEST_F(WindowLayer, UpdatesFromOtherThreadsRunWholeAndOneAtATime) {
  const char* list = "超级列表框_支付宝收款";
  constexpr int kThreads = 4, kRowsEach = 25;
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, list, &done] {
      for (int i = 0; i < kRowsEach; ++i) {
        // Append and fill as one step: a row is never seen half written.
        ui::runOnWindowThread([&] {
          int row = ui::appendRow(Window::Main, list, ui::kIconAlipay);
          ui::setCell(Window::Main, list, row, 0, std::to_string(t));
          ui::setCell(Window::Main, list, row, 3, std::to_string(t));
        });
      }
      ++done;
    });
  }
  // This thread is the window thread: it keeps serving requests until the writers are done.
  while (done < kThreads) {
    ui::processPendingMessages();
    std::this_thread::yield();
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(ui::rowCount(Window::Main, list), kThreads * kRowsEach);
  for (int r = 0; r < kThreads * kRowsEach; ++r)
    EXPECT_EQ(ui::cell(Window::Main, list, r, 0), ui::cell(Window::Main, list, r, 3));
}

TEST_F(WindowLayer, BoundHandlersRunOnTheirEvent) {
  int clicks = 0;
  ui::bind(Window::Main, "按钮_上一月", ui::Event::Clicked, [&] { ++clicks; });
  ui::raiseEvent(Window::Main, "按钮_上一月", ui::Event::Clicked);
  ui::raiseEvent(Window::Main, "按钮_上一月", ui::Event::Changed);
  ui::raiseEvent(Window::Main, "按钮_下一月", ui::Event::Clicked);
  EXPECT_EQ(clicks, 1);
  ui::bind(Window::Main, "按钮_上一月", ui::Event::Clicked, nullptr);
}

}  // namespace
