// What the bill tests share: a fresh main window per test with announcing off, and readers of what the
// "账单流水" page shows.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bills/history.h"
#include "bills/ledger.h"
#include "server/protocol.h"
#include "ui/window_layer.h"

namespace billtest {

using Row = std::vector<std::string>;

inline const std::string kWeChatList = "超级列表框_微信收款";
inline const std::string kAlipayList = "超级列表框_支付宝收款";
inline const std::string kAnnounceBox = "选择框2";

// Every cell of every row, top to bottom.
inline std::vector<Row> rows(const std::string& list) {
  std::vector<Row> out;
  const int columns = ui::columnCount(ui::Window::Main, list);
  for (int r = 0; r < ui::rowCount(ui::Window::Main, list); ++r) {
    Row row;
    for (int c = 0; c < columns; ++c) row.push_back(ui::cell(ui::Window::Main, list, r, c));
    out.push_back(row);
  }
  return out;
}

// One column of every row, top to bottom.
inline std::vector<std::string> column(const std::string& list, int c) {
  std::vector<std::string> out;
  for (int r = 0; r < ui::rowCount(ui::Window::Main, list); ++r) out.push_back(ui::cell(ui::Window::Main, list, r, c));
  return out;
}

inline std::vector<int> icons(const std::string& list) {
  std::vector<int> out;
  for (int r = 0; r < ui::rowCount(ui::Window::Main, list); ++r) out.push_back(ui::rowIcon(ui::Window::Main, list, r));
  return out;
}

inline std::string label(const char* name) { return ui::text(ui::Window::Main, name); }

// A bill line as the server writes it: an unused field, then time, channel and amount.
struct Line {
  std::string time, channel, amount;
};

inline std::string line(const Line& l) {
  const std::string sep = protocol::kFieldSeparator;
  return "7" + sep + l.time + sep + l.channel + sep + l.amount;
}

inline std::string history(const std::vector<std::string>& lines, bool endWithBreak = false) {
  std::string block;
  for (size_t i = 0; i < lines.size(); ++i) block += (i ? "\r\n" : "") + lines[i];
  if (endWithBreak) block += "\r\n";
  return std::string(bills::kBillHistoryKind) + bills::kBillBlockMarker + block;
}

inline std::string history(const std::vector<Line>& lines, bool endWithBreak = false) {
  std::vector<std::string> texts;
  for (const Line& l : lines) texts.push_back(line(l));
  return history(texts, endWithBreak);
}

// The whole visible state of the page that the bills write.
struct Page {
  std::vector<Row> weChat, alipay;
  std::string weChatTotal, alipayTotal, weChatCount, alipayCount;
  bool operator==(const Page&) const = default;
};

inline Page page() {
  return {rows(kWeChatList), rows(kAlipayList), label(bills::weChat().totalLabel), label(bills::alipay().totalLabel),
          label(bills::weChat().countLabel), label(bills::alipay().countLabel)};
}

// Each test starts the run again: a new main window with empty lists, and no history loaded yet.
// Announcing is off, so a payment is listed at once without the speech service.
class BillsTest : public ::testing::Test {
 protected:
  void SetUp() override { freshWindow(); }
  void TearDown() override { ui::destroyWindow(ui::Window::Main); }

  static void freshWindow() {
    ui::destroyWindow(ui::Window::Main);
    ui::createWindow(ui::Window::Main);
    ui::setChecked(ui::Window::Main, kAnnounceBox, false);
    bills::forgetBillHistory();
  }
};

}  // namespace billtest
