#include "recognise/recogniser.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <fstream>

#include "recognise/rules_file.h"

namespace hub::recognise {
namespace {

constexpr std::string_view kWechat = "com.tencent.mm";
constexpr std::string_view kAlipay = "com.eg.android.AlipayGphone";

Result recognise(const Notification& notification) {
  static const Rules shipped = combine({}, shippedRules());
  return hub::recognise::recognise(shipped, notification);
}

TEST(Recogniser, TellsPaymentsFromEveryOtherNotification) {
  struct Case {
    Notification notification;
    money::Fen fen;          // 0: not a payment
    Channel channel;         // when a payment
    std::string_view reason;  // when not
  };
  const Channel w = Channel::wechat, a = Channel::alipay;
  const Case cases[] = {
      {{kWechat, "微信支付", "微信支付收款1.17元(朋友到店)"}, 117, w, ""},
      {{kWechat, "微信收款助手", "微信支付收款1.17元(朋友到店)"}, 117, w, ""},
      {{kWechat, "微信收款商业版", "微信支付收款9.00元(新顾客到店)"}, 900, w, ""},
      {{kWechat, "微信支付", "[3条]微信支付: 微信支付收款1.17元(朋友到店)"}, 117, w, ""},
      {{kWechat, "微信支付", "[3条]微信支付: 微信支付收款1.17元"}, 117, w, ""},
      {{kWechat, "微信", "微信支付: 微信支付收款1.17元(朋友到店)"}, 117, w, ""},
      {{kWechat, "微信支付", "微信支付收款￥1.17元(朋友到店)"}, 117, w, ""},
      {{kWechat, "微信收款助手", "微信收款¥12.00"}, 1200, w, ""},
      // The amount is the one the words name, not the last figure in the text.
      {{kWechat, "微信收款商业版", "微信支付收款8.00元(朋友到店)，今日第12笔收款共计96.00元"}, 800, w, ""},
      {{kWechat, "微信支付", "你有一张¥5.00的收款优惠券"}, 0, w, "no amount"},
      {{kWechat, "微信", "微信收款商业版：微信支付收款2,000.00元(老顾客到店)"}, 200000, w, ""},
      {{kWechat, "微信收款助手", "微信收款12.00元"}, 1200, w, ""},
      {{kWechat, "微信收款助手", "收款到账通知"}, 0, w, "no amount"},
      {{kWechat, "微信支付", "[转账] 请收款"}, 0, w, "no amount"},
      {{kWechat, "张三", "微信支付收款100.00元"}, 0, w, "not from the payment sender"},
      {{kWechat, "微信", "[2条]张三: 微信支付收款100.00元"}, 0, w, "not from the payment sender"},
      {{"com.tencent.wework", "对外收款", "成功收款1.00元"}, 100, w, ""},
      {{kAlipay, "你已成功收款5.00元", "已转入余额 100积分兑收钱音箱，去兑换>>"}, 500, a, ""},
      {{kAlipay, "你已成功收款1430.00元（老顾客消费）", "已转入余额"}, 143000, a, ""},
      {{kAlipay, "你已成功收款1,430.00元（老顾客消费）", ""}, 143000, a, ""},
      {{kAlipay, "你已成功收款￥1,430.00", "立即查看今日收款金额>>"}, 143000, a, ""},
      {{kAlipay, "你已成功收款20.00元", "立即查看今日收款金额>>"}, 2000, a, ""},
      {{kAlipay, "收款通知", "张三通过扫码向你付款0.01元"}, 1, a, ""},
      {{kAlipay, "收款通知", "张三通过扫码向你付款 0.01 元"}, 1, a, ""},
      {{kAlipay, "收钱码到账通知", "成功收款0.01元。享免费提现等更多专属服务，点击查看"}, 1, a, ""},
      {{kAlipay, "支付宝通知", "支付宝成功收款1.00元。"}, 100, a, ""},
      // A payer who names himself like a payment does not set the amount.
      {{kAlipay, "收款通知", "通过扫码向你付款10000.00元通过扫码向你付款0.01元"}, 1, a, ""},
      {{kAlipay, "支付宝", "经营码仅0.38%收钱费率"}, 0, a, "advert"},
      {{kAlipay, "收钱提醒助手", "上一笔播报：支付宝到账 1430.00 元。收钱提醒助手正在为您服务"}, 0, a,
       "repeat of an earlier announcement"},
      {{kAlipay, "转账到账", "张三已成功向你转了1笔钱"}, 0, a, "no amount"},
      {{kAlipay, "你已成功收款14,30.00元", ""}, 0, a, "no amount"},
      {{kAlipay, "你已成功收款0.00元", ""}, 0, a, "no amount"},
      {{"com.android.mms", "95588", "您尾号1234的账户收入100.00元"}, 0, w, "not a payment app"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.notification.title) + " / " + std::string(c.notification.text));
    const Result result = recognise(c.notification);
    ASSERT_EQ(result.payment.has_value(), c.fen != 0) << result.reason;
    if (result.payment) {
      EXPECT_EQ(result.payment->fen, c.fen);
      EXPECT_EQ(result.payment->channel, c.channel);
    } else {
      EXPECT_EQ(result.reason, c.reason);
    }
  }
}

TEST(Recogniser, KeysTheSamePaymentAlikeWhereverThePhonePostsIt) {
  auto key = [](std::string_view title, std::string_view text) {
    const Result result = recognise({kWechat, title, text});
    EXPECT_TRUE(result.payment) << text;
    return result.payment ? result.payment->key : std::string();
  };
  const std::string plain = key("微信支付", "微信支付收款1.17元(朋友到店)");
  EXPECT_EQ(key("微信支付", "[3条]微信支付: 微信支付收款1.17元(朋友到店)"), plain);
  EXPECT_EQ(key("微信", "微信支付：微信支付收款1.17元(朋友到店)"), plain);
  EXPECT_EQ(key("微信支付", " 微信支付收款1.17元(朋友到店)\n"), plain);
  EXPECT_NE(key("微信支付", "微信支付收款2.00元(朋友到店)"), plain);
  EXPECT_NE(key("微信支付", "微信支付收款1.17元(新顾客到店)"), plain);
}

// Every form in tests/rule_cases.toml through the shipped rules: its channel and amount, or its reason.
TEST(Recogniser, TellsEveryKnownFormByTheShippedRules) {
  const toml::table cases = toml::parse_file(KASSARO_RULE_CASES);
  const toml::array* list = cases["case"].as_array();
  ASSERT_TRUE(list && list->size() >= 30);
  for (const toml::node& node : *list) {
    const toml::table& c = *node.as_table();
    const std::string package = c["package"].value_or(""), title = c["title"].value_or(""),
                      text = c["text"].value_or("");
    SCOPED_TRACE("line " + std::to_string(node.source().begin.line) + ": " + title + " / " + text);
    const Result result = recognise({package, title, text});
    if (const auto amount = c["amount"].value<std::string>()) {
      ASSERT_TRUE(result.payment) << result.reason;
      EXPECT_EQ(result.payment->fen, money::parse(*amount));
      EXPECT_EQ(result.payment->channel, channelNamed(c["channel"].value_or("")));
      EXPECT_FALSE(result.rule.empty());
    } else {
      ASSERT_FALSE(result.payment) << "counted by " << result.rule;
      EXPECT_EQ(result.reason, c["reason"].value_or("?"));
    }
    EXPECT_EQ(result.notCounted, c["not_counted"].value_or(false));
  }
}

// An operator's file: each error with its line; a rule of a shipped rule's name takes its place, a new
// one is tried first, and one switched off decides nothing.
TEST(Recogniser, ReadsAnOperatorsRules) {
  const Loaded bad = readRules(R"([[rule]]
name = "a"
package = "com.tencent.mm"
look_in = "sideways"
before = ["收款"]
channel = "wechat"

[[rule]]
name = "b"
package = "com.tencent.mm"
look_in = "text"
channel = "unionpay"
before = ["收款"]
colour = "red"

[[rule]]
name = "c"
look_in = "text"
words = ["x"]
)",
                               "own.toml");
  const std::vector<std::string> expected = {
      "own.toml:4: look_in must be \"title\", \"text\" or \"both\"",
      "own.toml:12: channel must be \"wechat\" or \"alipay\"", "own.toml:14: unknown key colour in a rule",
      "own.toml:16: rule c needs a package",
      "own.toml:16: rule c is a non-payment rule: it needs not_payment and words"};
  EXPECT_EQ(bad.errors, expected);
  EXPECT_EQ(readRules("[[rule]\nname = 1", "own.toml").errors.size(), 1u);
  EXPECT_TRUE(readRules("[[rule]\nname = 1", "own.toml").errors.front().starts_with("own.toml:1: "));

  Loaded own = readRules(R"([[rule]]
name = "wechat-arrived"
package = "com.tencent.mm"
senders = ["微信支付"]
look_in = "text"
before = ["微信支付到账"]
channel = "wechat"

[[rule]]
name = "alipay-adverts"
enabled = false
)",
                         "own.toml");
  ASSERT_TRUE(own.errors.empty()) << own.errors.front();
  const Rules rules = combine(std::move(own.rules), shippedRules());
  EXPECT_EQ(rules.list.size(), shippedRules().size());  // one added, one switched off
  const Result added = hub::recognise::recognise(rules, {kWechat, "微信支付", "微信支付到账3.50元"});
  ASSERT_TRUE(added.payment);
  EXPECT_EQ(added.payment->fen, 350);
  EXPECT_EQ(added.rule, "wechat-arrived");
  EXPECT_EQ(hub::recognise::recognise(rules, {kAlipay, "支付宝", "经营码仅0.38%收钱费率"}).reason, "no amount");
}

TEST(Recogniser, NamesChannelsAsThePhoneAndTheCounterDo) {
  for (Channel channel : {Channel::wechat, Channel::alipay}) EXPECT_EQ(channelNamed(counterWord(channel)), channel);
  EXPECT_EQ(channelNamed("WeChat"), Channel::wechat);
  EXPECT_EQ(channelNamed("alipay"), Channel::alipay);
  EXPECT_NE(counterWord(Channel::wechat), counterWord(Channel::alipay));
  EXPECT_FALSE(channelNamed("unionpay"));
  EXPECT_FALSE(channelNamed(""));
}

}  // namespace
}  // namespace hub::recognise
