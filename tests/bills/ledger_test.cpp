#include <gtest/gtest.h>

#include "bill_lists.h"
#include "common/datetime.h"
#include "common/money.h"

using namespace billtest;
using bills::recordPayment;

namespace {

const std::string kWeChat = "微信收款";
const std::string kAlipay = "支付宝收款";

}  // namespace

TEST(BillChannels, KnownByTheirExactText) {
  ASSERT_NE(bills::findChannel("微信收款"), nullptr);
  ASSERT_NE(bills::findChannel("支付宝收款"), nullptr);
  EXPECT_EQ(bills::findChannel("微信收款"), &bills::weChat());
  EXPECT_EQ(bills::findChannel("支付宝收款"), &bills::alipay());
  EXPECT_EQ(bills::findChannel(""), nullptr);
  EXPECT_EQ(bills::findChannel("微信收款 "), nullptr);
  EXPECT_EQ(bills::findChannel("微信"), nullptr);
  EXPECT_EQ(bills::findChannel("银联收款"), nullptr);
}

TEST(BillChannels, TableNamesTheirControlsAndIcons) {
  EXPECT_EQ(std::string(bills::weChat().list), kWeChatList);
  EXPECT_EQ(std::string(bills::alipay().list), kAlipayList);
  EXPECT_EQ(bills::alipay().icon, 0);
  EXPECT_EQ(bills::weChat().icon, 1);
  EXPECT_STREQ(bills::weChat().totalLabel, "标签_微信合计");
  EXPECT_STREQ(bills::alipay().totalLabel, "标签_支付宝合计");
  EXPECT_STREQ(bills::weChat().countLabel, "标签_微信累计收款");
  EXPECT_STREQ(bills::alipay().countLabel, "标签_支付宝累计收款");
}

class LedgerTest : public BillsTest {};

TEST_F(LedgerTest, FirstWeChatPayment) {
  ASSERT_FALSE(ui::isChecked(ui::Window::Main, kAnnounceBox));  // announcing off: listed all the same
  const double before = datetime::now();
  recordPayment(kWeChat, "12.5");
  const double after = datetime::now();

  const auto listed = rows(kWeChatList);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0][0], "1");
  EXPECT_EQ(listed[0][2], "微信收款");
  EXPECT_EQ(listed[0][3], "12.5");
  EXPECT_EQ(icons(kWeChatList), std::vector<int>{1});
  // The local time of the payment, as "2020-6-29 09:53:40".
  const double at = datetime::readTimeText(listed[0][1]);
  EXPECT_GE(at, before - datetime::kTolerance);
  EXPECT_LE(at, after + datetime::kTolerance);
  EXPECT_EQ(listed[0][1], datetime::formatRowTime(at));

  EXPECT_TRUE(rows(kAlipayList).empty());
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：12.5元");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：1笔");
  EXPECT_EQ(label("标签_支付宝累计收款"), "支付宝累计收款：0笔");
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：元");
}

TEST_F(LedgerTest, AlipayRowsAreNumberedAndSummedTopToBottom) {
  recordPayment(kAlipay, "0.1");
  recordPayment(kAlipay, "0.2");
  EXPECT_EQ(column(kAlipayList, 0), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(column(kAlipayList, 2), (std::vector<std::string>{"支付宝收款", "支付宝收款"}));
  EXPECT_EQ(column(kAlipayList, 3), (std::vector<std::string>{"0.1", "0.2"}));
  EXPECT_EQ(icons(kAlipayList), (std::vector<int>{0, 0}));
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：0.3元");
  EXPECT_EQ(label("标签_支付宝累计收款"), "支付宝累计收款：2笔");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：0笔");
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：元");
  EXPECT_TRUE(rows(kWeChatList).empty());
}

TEST_F(LedgerTest, AmountsStayAsReceivedAndSumAsNumbers) {
  recordPayment(kWeChat, "10.00");
  EXPECT_EQ(column(kWeChatList, 3).back(), "10.00");
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：10元");

  recordPayment(kWeChat, "abc");  // not a number: shown as received, counted as 0
  EXPECT_EQ(column(kWeChatList, 3).back(), "abc");
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：10元");

  recordPayment(kWeChat, "\xA3\xB1\xA3\xB2.\xA3\xB5");  // full-width １２.５
  EXPECT_EQ(column(kWeChatList, 3).back(), "\xA3\xB1\xA3\xB2.\xA3\xB5");
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：22.5元");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：3笔");
  EXPECT_EQ(column(kWeChatList, 0), (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(LedgerTest, AnEmptyAmountIsAPaymentLikeAnyOther) {
  recordPayment(kWeChat, "");
  ASSERT_EQ(rows(kWeChatList).size(), 1u);
  EXPECT_EQ(rows(kWeChatList)[0][3], "");
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：0元");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：1笔");
}

TEST_F(LedgerTest, ATotalBeyondThirteenDigitsIsShownInExponentForm) {
  recordPayment(kWeChat, "12345678901234.5");
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：1.234567890123e+013元");
}

TEST_F(LedgerTest, AnUnknownChannelListsNothingButWritesBothCounts) {
  recordPayment("银联收款", "5");
  EXPECT_TRUE(rows(kWeChatList).empty());
  EXPECT_TRUE(rows(kAlipayList).empty());
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：元");
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：元");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：0笔");
  EXPECT_EQ(label("标签_支付宝累计收款"), "支付宝累计收款：0笔");

  recordPayment(kAlipay, "3");
  recordPayment("微信收款 ", "4");  // one blank too many is another channel
  EXPECT_TRUE(rows(kWeChatList).empty());
  EXPECT_EQ(rows(kAlipayList).size(), 1u);
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：3元");
  EXPECT_EQ(label("标签_支付宝累计收款"), "支付宝累计收款：1笔");
  EXPECT_EQ(label("标签_微信累计收款"), "微信累计收款：0笔");
}

TEST_F(LedgerTest, ALiveRowAfterAnOrderedHistoryGoesToTheBottom) {
  bills::loadBillHistory(history(std::vector<Line>{{"2020-6-29 09:53:40", kAlipay, "1.5"},
                                                   {"2020-6-30 10:00:00", kAlipay, "2"}}));
  ASSERT_EQ(column(kAlipayList, 1), (std::vector<std::string>{"2020-6-30 10:00:00", "2020-6-29 09:53:40"}));

  recordPayment(kAlipay, "4");
  const auto listed = rows(kAlipayList);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(column(kAlipayList, 0), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(column(kAlipayList, 3), (std::vector<std::string>{"2", "1.5", "4"}));
  EXPECT_NE(datetime::readTimeText(listed[2][1]), datetime::kEarliest);
  // The total is over every row of the list, the live count word is back.
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：7.5元");
  EXPECT_EQ(label("标签_支付宝累计收款"), "支付宝累计收款：3笔");
}

TEST_F(LedgerTest, NumberRowsRewritesEveryPosition) {
  for (const char* stale : {"9", "", "x"}) {
    const int r = ui::appendRow(ui::Window::Main, kWeChatList, 1);
    ui::setCell(ui::Window::Main, kWeChatList, r, 0, stale);
    ui::setCell(ui::Window::Main, kWeChatList, r, 3, stale);
  }
  ui::runOnWindowThread([] { bills::numberRows(kWeChatList); });
  EXPECT_EQ(column(kWeChatList, 0), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(column(kWeChatList, 3), (std::vector<std::string>{"9", "", "x"}));  // only column 0 changes
}

namespace {

// What a reader of the list makes of it: the amounts of every row, top to bottom, as the total label
// should show them.
std::string totalReadFromTheList(const bills::Channel& channel) {
  double sum = 0;
  for (const std::string& amount : column(channel.list, 3)) sum += money::readAmount(amount);
  return std::string(channel.totalPrefix) + money::formatMoney(sum) + "元";
}

std::vector<std::string> positions(int rows) {
  std::vector<std::string> out;
  for (int k = 1; k <= rows; ++k) out.push_back(std::to_string(k));
  return out;
}

}  // namespace

TEST_F(LedgerTest, ManyPaymentsAfterAHistoryKeepNumbersAndTotalTrue) {
  bills::loadBillHistory(history(std::vector<Line>{{"2020-6-29 09:00:00", kWeChat, "0.1"},
                                                   {"2020-6-30 09:00:00", kWeChat, "1e15"},
                                                   {"2020-6-28 09:00:00", kWeChat, "0.7"}}));
  const char* amounts[] = {"0.2", "abc", "", "3.33", "-1e15", "0.1", "12345678901234.5", "0.05"};
  for (const char* amount : amounts) {
    recordPayment(kWeChat, amount);
    SCOPED_TRACE(amount);
    EXPECT_EQ(label("标签_微信合计"), totalReadFromTheList(bills::weChat()));
    EXPECT_EQ(column(kWeChatList, 0), positions(ui::rowCount(ui::Window::Main, kWeChatList)));
  }
  EXPECT_EQ(rows(kWeChatList).size(), 3u + std::size(amounts));
}

TEST_F(LedgerTest, RowsChangedBehindTheLedgersBackAreReadAgain) {
  recordPayment(kAlipay, "1");
  recordPayment(kAlipay, "2");

  // A row added by other code, without a number.
  const int r = ui::appendRow(ui::Window::Main, kAlipayList, 0);
  ui::setCell(ui::Window::Main, kAlipayList, r, 3, "5");
  recordPayment(kAlipay, "10");
  EXPECT_EQ(column(kAlipayList, 0), positions(4));
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：18元");

  // The bottom row's amount rewritten.
  ui::setCell(ui::Window::Main, kAlipayList, 3, 3, "20");
  recordPayment(kAlipay, "100");
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：128元");

  // Rows moved by time, their numbers with them.
  ui::setCell(ui::Window::Main, kAlipayList, 0, 1, "9999-1-1 00:00:00");
  ui::setCell(ui::Window::Main, kAlipayList, 4, 1, "昨天");
  bills::sortListByTime(kAlipayList);
  ASSERT_NE(column(kAlipayList, 0), positions(5));
  recordPayment(kAlipay, "1000");
  EXPECT_EQ(column(kAlipayList, 0), positions(6));
  EXPECT_EQ(label("标签_支付宝合计"), totalReadFromTheList(bills::alipay()));
  EXPECT_EQ(label("标签_支付宝合计"), "支付宝收款合计：1128元");
}

TEST_F(LedgerTest, ANewWindowStartsFromItsOwnRows) {
  recordPayment(kWeChat, "1");
  recordPayment(kWeChat, "7");
  // The run starts again, and the list holds rows that end like the old ones but sum to more.
  freshWindow();
  for (const char* amount : {"30", "7"}) {
    const int r = ui::appendRow(ui::Window::Main, kWeChatList, 1);
    ui::setCell(ui::Window::Main, kWeChatList, r, 0, std::to_string(r + 1));
    ui::setCell(ui::Window::Main, kWeChatList, r, 3, amount);
  }
  recordPayment(kWeChat, "2");
  EXPECT_EQ(label("标签_微信合计"), "微信收款合计：39元");
}
