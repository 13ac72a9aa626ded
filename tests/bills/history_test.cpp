#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "bill_lists.h"
#include "common/datetime.h"

using namespace billtest;
using bills::loadBillHistory;
using bills::orderByTime;
using bills::recordPayment;

namespace {

const std::string kWeChat = "微信收款";
const std::string kAlipay = "支付宝收款";
using Texts = std::vector<std::string>;

}  // namespace

// The ordering alone, over date-time values.

TEST(OrderByTime, NewestFirst) {
  EXPECT_EQ(orderByTime({}), std::vector<int>{});
  EXPECT_EQ(orderByTime({5}), std::vector<int>{0});
  EXPECT_EQ(orderByTime({1, 3, 2}), (std::vector<int>{1, 2, 0}));
  EXPECT_EQ(orderByTime({3, 2, 1}), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(orderByTime({10, 1, 7, 4, 9, 2}), (std::vector<int>{0, 4, 2, 3, 5, 1}));
}

TEST(OrderByTime, TiesFollowTheInsertionRules) {
  // Equal to the greatest key so far: the later row ends above the earlier one.
  EXPECT_EQ(orderByTime({2, 2}), (std::vector<int>{1, 0}));
  EXPECT_EQ(orderByTime({2, 2, 2}), (std::vector<int>{2, 1, 0}));
  // Equal to the smallest key while a greater one is there: the earlier row ends above the later one.
  EXPECT_EQ(orderByTime({5, 2, 2}), (std::vector<int>{0, 1, 2}));
  // Equal to a key probed in the middle: inserted right after it, so the later row ends above it.
  // Keys 1, 5, 3 stand as 1 3 5; the second 3 probes position 2 (the first 3) and goes after it.
  EXPECT_EQ(orderByTime({1, 5, 3, 3}), (std::vector<int>{1, 3, 2, 0}));
  // The search stops at the first tie it probes: with 1 3 3 9 standing, the third 3 probes position 2
  // (row 2) and goes right after it, in front of row 3, rather than at the end of the run.
  EXPECT_EQ(orderByTime({1, 9, 3, 3, 3}), (std::vector<int>{1, 3, 4, 2, 0}));
}

TEST(OrderByTime, KeysWithinTheToleranceTie) {
  const double t = 44011.5;
  const double near = 0.5 * datetime::kTolerance;
  const double far = 2 * datetime::kTolerance;
  // A slightly older key still counts as equal to the greatest: it ends above the first row.
  EXPECT_EQ(orderByTime({t, t - near}), (std::vector<int>{1, 0}));
  EXPECT_EQ(orderByTime({t, t - far}), (std::vector<int>{0, 1}));
  EXPECT_EQ(orderByTime({t + 1, t, t + near}), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(orderByTime({t + 1, t, t + far}), (std::vector<int>{0, 2, 1}));
}

TEST(OrderByTime, ManyKeysComeOutAsAPermutationNewestFirst) {
  std::mt19937 random(20200629);
  for (int size : {2, 3, 17, 1000, 10000}) {
    std::vector<double> keys(size);
    // Few distinct times, so that ties are common, plus some apart by less than the tolerance.
    for (double& k : keys)
      k = 44000 + static_cast<int>(random() % 50) + (random() % 4 == 0 ? datetime::kTolerance / 3 : 0);
    const std::vector<int> order = orderByTime(keys);
    ASSERT_EQ(order.size(), keys.size());
    std::vector<int> seen = order;
    std::sort(seen.begin(), seen.end());
    std::vector<int> all(size);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(seen, all) << size;
    for (int q = 0; q + 1 < size; ++q)
      ASSERT_GE(keys[order[q]] - keys[order[q + 1]], -datetime::kTolerance) << size << " at " << q;
  }
}

class HistoryTest : public BillsTest {};

TEST_F(HistoryTest, ThreeLines) {
  loadBillHistory(history(std::vector<Line>{{"2020-6-29 09:53:40", kAlipay, "1.5"},
                                            {"2020-6-30 10:00:00", kAlipay, "2"},
                                            {"2020-6-29 08:00:00", kWeChat, "3"}}));
  EXPECT_EQ(rows(kAlipayList), (std::vector<Row>{{"1", "2020-6-30 10:00:00", kAlipay, "2"},
                                                 {"2", "2020-6-29 09:53:40", kAlipay, "1.5"}}));
  EXPECT_EQ(rows(kWeChatList), (std::vector<Row>{{"1", "2020-6-29 08:00:00", kWeChat, "3"}}));
  EXPECT_EQ(icons(kAlipayList), (std::vector<int>{0, 0}));
  EXPECT_EQ(icons(kWeChatList), (std::vector<int>{1}));
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：3.5元");
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：3元");
  EXPECT_EQ(label("标签_支付宝累计收款"), "支付累计收款：2笔");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：1笔");
}

TEST_F(HistoryTest, LinesThatAreNoBillAreSkipped) {
  const std::string sep = protocol::kFieldSeparator;
  loadBillHistory(history(Texts{
      line({"2020-6-29 09:00:00", "银联收款", "9"}),   // unknown channel
      "",                                              // empty line
      "7" + sep + "2020-6-29 10:00:00",                // no channel field
      line({"2020-6-29 11:00:00", kWeChat, "1"}),
      "7" + sep + "2020-6-29 12:00:00" + sep + kWeChat,  // no amount: listed with an empty one
      line({"2020-6-29 13:00:00", kWeChat, ""}),         // the split drops the empty amount too
      line({"2020-6-29 14:00:00", kAlipay, "2"}) + sep + "ignored" + sep + "too",
  }));
  EXPECT_EQ(rows(kWeChatList), (std::vector<Row>{{"1", "2020-6-29 13:00:00", kWeChat, ""},
                                                 {"2", "2020-6-29 12:00:00", kWeChat, ""},
                                                 {"3", "2020-6-29 11:00:00", kWeChat, "1"}}));
  EXPECT_EQ(rows(kAlipayList), (std::vector<Row>{{"1", "2020-6-29 14:00:00", kAlipay, "2"}}));
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：1元");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：3笔");
  EXPECT_EQ(label("标签_支付宝累计收款"), "支付累计收款：1笔");
}

TEST_F(HistoryTest, EqualTimesInBothTieSituations) {
  // Alone on the list: the second line ends above the first.
  loadBillHistory(history(std::vector<Line>{{"2020-6-29 09:00:00", kWeChat, "first"},
                                            {"2020-6-29 09:00:00", kWeChat, "second"}}));
  EXPECT_EQ(column(kWeChatList, 3), (Texts{"second", "first"}));

  // After a later line: the first of the two ends above the second.
  freshWindow();
  loadBillHistory(history(std::vector<Line>{{"2020-6-30 09:00:00", kWeChat, "later"},
                                            {"2020-6-29 09:00:00", kWeChat, "first"},
                                            {"2020-6-29 09:00:00", kWeChat, "second"}}));
  EXPECT_EQ(column(kWeChatList, 3), (Texts{"later", "first", "second"}));
  EXPECT_EQ(column(kWeChatList, 0), (Texts{"1", "2", "3"}));

  // Texts written differently but naming the same time tie as well.
  freshWindow();
  loadBillHistory(history(std::vector<Line>{{"2020-6-29 09:00:00", kWeChat, "first"},
                                            {"2020年6月29日9时0分0秒", kWeChat, "second"}}));
  EXPECT_EQ(column(kWeChatList, 3), (Texts{"second", "first"}));
}

TEST_F(HistoryTest, AnUnreadableTimeEndsAtTheBottom) {
  loadBillHistory(history(std::vector<Line>{{"昨天", kAlipay, "1"},
                                            {"2020-6-29 09:53:40", kAlipay, "2"},
                                            {"2020-13-1 00:00:00", kAlipay, "3"},
                                            {"1900-1-1 00:00:00", kAlipay, "4"}}));
  EXPECT_EQ(column(kAlipayList, 1), (Texts{"2020-6-29 09:53:40", "1900-1-1 00:00:00", "昨天", "2020-13-1 00:00:00"}));
  // The WeChat list had no line and stays empty, with its design caption.
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：元");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：0笔");
}

TEST_F(HistoryTest, ABlockEndingInALineBreakLoadsTheSame) {
  const std::vector<Line> lines{{"2020-6-29 09:53:40", kAlipay, "1.5"}, {"2020-6-30 10:00:00", kWeChat, "2"}};
  loadBillHistory(history(lines, false));
  const Page without = page();
  freshWindow();
  loadBillHistory(history(lines, true));
  EXPECT_EQ(page(), without);
  EXPECT_EQ(rows(kWeChatList).size(), 1u);
  EXPECT_EQ(rows(kAlipayList).size(), 1u);
}

TEST_F(HistoryTest, OtherMessagesChangeNothing) {
  recordPayment("微信收款", "5");
  const Page before = page();
  const std::string sep = protocol::kFieldSeparator;
  const std::string bill = line({"2020-6-29 09:53:40", kWeChat, "1"});
  for (const std::string& message :
       {std::string("账单回调by：Quimbe"), std::string("账单回调"), std::string(),
        "收到收款" + sep + kWeChat + sep + "5", "账单回调 by：Quimbe" + bill, "账单回调by:Quimbe" + bill,
        "by：Quimbe" + bill}) {
    loadBillHistory(message);
    EXPECT_EQ(page(), before) << message;
  }
  // None of them counted as the run's first history: the next one is still added to the live row.
  loadBillHistory(history(std::vector<Line>{{"2020-6-29 09:53:40", kWeChat, "1"}}));
  EXPECT_EQ(rows(kWeChatList).size(), 2u);
}

TEST_F(HistoryTest, TheFirstHistoryIsSortedTogetherWithLiveRows) {
  recordPayment(kWeChat, "5");
  recordPayment(kAlipay, "6");
  const std::string liveTime = column(kWeChatList, 1)[0];
  loadBillHistory(history(std::vector<Line>{{"2020-6-29 09:53:40", kWeChat, "1"},
                                            {"9999-12-31 23:59:59", kWeChat, "2"}}));
  EXPECT_EQ(column(kWeChatList, 1), (Texts{"9999-12-31 23:59:59", liveTime, "2020-6-29 09:53:40"}));
  EXPECT_EQ(column(kWeChatList, 3), (Texts{"2", "5", "1"}));
  EXPECT_EQ(column(kWeChatList, 0), (Texts{"1", "2", "3"}));
  EXPECT_EQ(icons(kWeChatList), (std::vector<int>{1, 1, 1}));
  // Totals over every row of each list, the untouched Alipay list included.
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：8元");
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：6元");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：3笔");
  EXPECT_EQ(label("标签_支付宝累计收款"), "支付累计收款：1笔");
}

TEST_F(HistoryTest, ALaterHistoryReplacesBothListsAndNeverDoubles) {
  const std::string first = history(std::vector<Line>{{"2020-6-29 09:00:00", kWeChat, "1"},
                                                      {"2020-6-29 10:00:00", kAlipay, "2"}});
  loadBillHistory(first);
  const Page once = page();
  // The same history after a reconnection, and a live payment that the server's record already holds.
  recordPayment(kWeChat, "3");
  loadBillHistory(first);
  EXPECT_EQ(page(), once);

  loadBillHistory(history(std::vector<Line>{{"2020-6-29 11:00:00", kWeChat, "4"},
                                            {"2020-6-29 12:00:00", kWeChat, "5"},
                                            {"2020-6-29 13:00:00", kAlipay, "6"}}));
  EXPECT_EQ(rows(kWeChatList), (std::vector<Row>{{"1", "2020-6-29 12:00:00", kWeChat, "5"},
                                                 {"2", "2020-6-29 11:00:00", kWeChat, "4"}}));
  EXPECT_EQ(rows(kAlipayList), (std::vector<Row>{{"1", "2020-6-29 13:00:00", kAlipay, "6"}}));
  EXPECT_EQ(icons(kWeChatList), (std::vector<int>{1, 1}));
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：9元");
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：6元");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：2笔");
  EXPECT_EQ(label("标签_支付宝累计收款"), "支付累计收款：1笔");
}

TEST_F(HistoryTest, AReplacementThatEmptiesAList) {
  loadBillHistory(history(std::vector<Line>{{"2020-6-29 09:00:00", kWeChat, "1"},
                                            {"2020-6-29 10:00:00", kAlipay, "2"}}));
  recordPayment(kAlipay, "3");
  loadBillHistory(history(std::vector<Line>{{"2020-6-29 11:00:00", kWeChat, "4"}}));
  EXPECT_TRUE(rows(kAlipayList).empty());
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：元");
  EXPECT_EQ(label("标签_支付宝累计收款"), "支付累计收款：0笔");
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：4元");

  // A later history with no bill at all (only a line break) empties both.
  loadBillHistory(history(Texts{}, true));
  EXPECT_TRUE(rows(kWeChatList).empty());
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：元");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：0笔");
}

TEST_F(HistoryTest, TotalsAreSummedTopToBottomAfterOrdering) {
  // Added in message order 1e16, 1, -1e16 would give 0; newest first the sum is -1e16 + 1e16 + 1 = 1.
  loadBillHistory(history(std::vector<Line>{{"2020-6-29 09:00:00", kWeChat, "1e16"},
                                            {"2020-6-29 08:00:00", kWeChat, "1"},
                                            {"2020-6-29 10:00:00", kWeChat, "-1e16"}}));
  EXPECT_EQ(column(kWeChatList, 3), (Texts{"-1e16", "1e16", "1"}));
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：1元");
}

// The load is one in-memory pass; it must leave what appending every bill, sorting the list by time and
// numbering it would leave, on a list that already holds live rows, ties everywhere.
TEST_F(HistoryTest, LoadingEqualsAppendingThenSortingTheList) {
  std::mt19937 random(6);
  const Texts times{"2020-6-29 09:00:00", "2020-6-29 09:00:01", "2020/6/29 9:00:00", "2020-6-30", "昨天", ""};
  std::vector<Line> lines;
  for (int i = 0; i < 300; ++i)
    lines.push_back({times[random() % times.size()], random() % 3 ? kWeChat : kAlipay, std::to_string(i)});
  const auto addLive = [] {
    for (const std::string& list : {kWeChatList, kAlipayList})
      for (const char* time : {"2020-6-29 09:00:00", "2020-6-30"}) {
        const int r = ui::appendRow(ui::Window::Main, list, list == kWeChatList ? 1 : 0);
        ui::setCell(ui::Window::Main, list, r, 1, time);
        ui::setCell(ui::Window::Main, list, r, 2, list == kWeChatList ? kWeChat : kAlipay);
        ui::setCell(ui::Window::Main, list, r, 3, "live");
      }
  };

  addLive();
  loadBillHistory(history(lines));
  const auto loaded = std::pair{rows(kWeChatList), rows(kAlipayList)};

  freshWindow();
  addLive();
  // Without repainting after each row: real list views take long to redraw a scroll bar.
  for (const std::string& list : {kWeChatList, kAlipayList}) ui::setRedraw(ui::Window::Main, list, false);
  for (const Line& l : lines) {
    const bills::Channel& channel = *bills::findChannel(l.channel);
    const int r = ui::appendRow(ui::Window::Main, channel.list, channel.icon);
    ui::setCell(ui::Window::Main, channel.list, r, 1, l.time);
    ui::setCell(ui::Window::Main, channel.list, r, 2, l.channel);
    ui::setCell(ui::Window::Main, channel.list, r, 3, l.amount);
  }
  for (const std::string& list : {kWeChatList, kAlipayList}) ui::setRedraw(ui::Window::Main, list, true);
  for (const std::string& list : {kWeChatList, kAlipayList}) {
    bills::sortListByTime(list);
    ui::runOnWindowThread([&] { bills::numberRows(list); });
  }
  EXPECT_EQ(rows(kWeChatList), loaded.first);
  EXPECT_EQ(rows(kAlipayList), loaded.second);
}

TEST_F(HistoryTest, SortingMovesCellTextsOnly) {
  const Texts times{"2020-6-29 09:00:00", "2020-6-30 09:00:00", "2020-6-28 09:00:00"};
  for (size_t i = 0; i < times.size(); ++i) {
    const int r = ui::appendRow(ui::Window::Main, kAlipayList, static_cast<int>(i));
    ui::setCell(ui::Window::Main, kAlipayList, r, 0, "n" + std::to_string(i));
    ui::setCell(ui::Window::Main, kAlipayList, r, 1, times[i]);
    ui::setCell(ui::Window::Main, kAlipayList, r, 3, std::to_string(i));
  }
  bills::sortListByTime(kAlipayList);
  EXPECT_EQ(column(kAlipayList, 1), (Texts{times[1], times[0], times[2]}));
  EXPECT_EQ(column(kAlipayList, 0), (Texts{"n1", "n0", "n2"}));  // moves with its row, not renumbered
  EXPECT_EQ(column(kAlipayList, 3), (Texts{"1", "0", "2"}));
  EXPECT_EQ(icons(kAlipayList), (std::vector<int>{0, 1, 2}));    // icons stay with the position
}
