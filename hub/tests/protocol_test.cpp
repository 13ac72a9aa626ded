#include "counter/protocol.h"

#include <gtest/gtest.h>

namespace hub::counter::protocol {
namespace {

const std::string F(kSeparator);

TEST(Protocol, SplitsAsCountersDo) {
  using Pieces = std::vector<std::string_view>;
  EXPECT_EQ(split("a" + F + F + "b"), (Pieces{"a", "", "b"}));
  EXPECT_EQ(split("a" + F + "b" + F), (Pieces{"a", "b"}));  // no empty piece after the last separator
  EXPECT_EQ(split(F), (Pieces{""}));
  EXPECT_EQ(split(""), Pieces{});
  // 【 alone, or the separator's start inside another character, does not split.
  EXPECT_EQ(split("【字段" + F + "x"), (Pieces{"【字段", "x"}));
}

TEST(Protocol, ReadsTheCountersRequests) {
  // A request's fields point into its text.
  const std::string loginText = "用户登录" + F + "shop0001" + F + "pass word" + F + "4F0B5785AEDBE13EE2B8396DCD9FACA8";
  const Request login = read(loginText);
  EXPECT_EQ(login.kind, Request::Kind::login);
  EXPECT_EQ(login.account, "shop0001");
  EXPECT_EQ(login.password, "pass word");
  EXPECT_EQ(login.machineId, "4F0B5785AEDBE13EE2B8396DCD9FACA8");

  const std::string billsText = "获取账单" + F + "shop0001" + F + "secret";
  const Request bills = read(billsText);
  EXPECT_EQ(bills.kind, Request::Kind::bills);
  EXPECT_EQ(bills.machineId, "");
  EXPECT_EQ(read("用户注册" + F + "a" + F + "b" + F + "c").kind, Request::Kind::registration);

  // Too few pieces, an unknown kind, a kind word with a blank: not a request.
  for (const std::string& text : {"用户登录" + F + "shop0001", "用户登录 " + F + "a" + F + "b",
                                  "APP正常" + F + "a" + F + "b", std::string("用户登录")})
    EXPECT_EQ(read(text).kind, Request::Kind::unknown) << text;
}

TEST(Protocol, AcceptsOnlyCredentialsCountersCanRegister) {
  EXPECT_TRUE(validCredential("shop01"));
  EXPECT_TRUE(validCredential("商店一号"));  // 12 bytes of UTF-8
  EXPECT_TRUE(validCredential(std::string(64, 'a')));
  EXPECT_FALSE(validCredential("shop1"));
  EXPECT_FALSE(validCredential(std::string(65, 'a')));
  EXPECT_FALSE(validCredential("shop\t0001"));
  EXPECT_FALSE(validCredential("ab" + F + "cd"));
}

TEST(Protocol, WritesWhatCountersRead) {
  store::ServerInfo info;
  info.notice = "公告";
  EXPECT_EQ(serverInfo(info), "服务器信息" + F + "1" + F + "公告" + F + "1.0" + F + "" + F);
  info.maintenance = true;
  info.clientVersion = "1.1";
  info.downloadUrl = "https://example.cn/k.zip";
  EXPECT_EQ(serverInfo(info), "服务器信息" + F + "0" + F + "公告" + F + "1.1" + F + "https://example.cn/k.zip" + F);
  EXPECT_EQ(payment(Channel::alipay, 1250), "收到收款" + F + "支付宝收款" + F + "12.50");
  EXPECT_EQ(answer(kLoginAnswer, kLoginOk), "登录响应" + F + "登录成功！");

  const auto zone = clock::zoneNamed("Asia/Shanghai");
  ASSERT_TRUE(zone);
  store::Bill a, b;
  a.number = 7;
  a.channel = Channel::wechat;
  a.fen = 100;
  a.time = 1593395620000;  // 2020-06-29 09:53:40 in Shanghai
  b = a;
  b.number = 9;
  b.channel = Channel::alipay;
  b.fen = 5;
  EXPECT_EQ(billHistory({a, b}, *zone), "账单回调by：Quimbe7" + F + "2020-6-29 09:53:40" + F + "微信收款" + F + "1.00\r\n9" +
                                            F + "2020-6-29 09:53:40" + F + "支付宝收款" + F + "0.05");
  EXPECT_EQ(billHistory({}, *zone), "账单回调by：Quimbe");
}

}  // namespace
}  // namespace hub::counter::protocol
