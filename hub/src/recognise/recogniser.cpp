#include "recognise/recogniser.h"

#include <algorithm>
#include <vector>

namespace hub::recognise {
namespace {

enum class Field { title, text };

// One form of payment notification: the app that posts it, whom it comes from, where its amount stands
// and the words right before the amount, and the words that make it anything but a new payment.
struct Rule {
  std::string_view package;
  std::vector<std::string_view> senders;  // titles (or group-summary senders) it comes under; empty: any
  Field amountIn;
  std::vector<std::string_view> markers;  // directly before the amount: "收款" + "1.17元"
  std::vector<std::string_view> adverts;  // promotions carry figures too ("经营码仅0.38%收钱费率")
  std::vector<std::string_view> repeats;  // a helper's reminder of a payment already announced
  Channel channel;
};

// Percentages and fee rates are what promotions quote; no payment text carries them.
const std::vector<std::string_view> kAdverts{"%", "％", "费率"};
// Alipay's 收钱提醒助手 keeps "上一笔播报：支付宝到账 1430.00 元。…" on screen after the payment itself.
const std::vector<std::string_view> kRepeats{"上一笔播报"};

// The forms as merchants' phones show them, and as the public forwarders match them
// (szvone/vmqApk and its fork hulisang/vmqApk, WeihuaGu/receiptnotice as c-kzxvldkhX/receiptnotice
// and its issues #20, #25, #90, #97, #102; Auto-Accounting/AutoResource #76):
const std::vector<Rule> kRules{
    // WeChat: "微信支付收款1.17元(朋友到店)" / "(新顾客到店)", under 微信支付, 微信收款助手, 微信收款商业版,
    // or since 8.0.50 under just 微信 with the sender before a colon ("微信支付: …", "[3条]微信支付: …").
    // A friend's chat saying the same words comes under the friend's name and is not a payment.
    // 收款助手 writes "微信收款12.00元".
    {"com.tencent.mm", {"微信支付", "微信收款助手", "微信收款商业版", "微信"}, Field::text,
     {"微信支付收款", "微信收款"}, kAdverts, kRepeats, Channel::wechat},
    // WeCom's 对外收款 takes WeChat Pay for a shop: "成功收款…元" under 对外收款 or 企业微信.
    {"com.tencent.wework", {"对外收款", "企业微信"}, Field::text, {"成功收款"}, kAdverts, kRepeats, Channel::wechat},
    // Alipay since about 2023 (some phones since 2020) puts the amount in the title: "你已成功收款5.00元",
    // "你已成功收款1430.00元（老顾客消费）", with a text such as "已转入余额 100积分兑收钱音箱，去兑换>>" or
    // "立即查看今日收款金额>>" whose figures are no amount.
    {"com.eg.android.AlipayGphone", {}, Field::title, {"成功收款"}, kAdverts, kRepeats, Channel::alipay},
    // Older Alipay texts: "X通过扫码向你付款0.01元" under 收款通知, "成功收款0.01元。享免费提现…" under
    // 收钱码到账通知, a clerk's "支付宝成功收款1.00元。" under 支付宝通知. "X已成功向你转了1笔钱" has no amount.
    {"com.eg.android.AlipayGphone", {}, Field::text, {"向你付款", "向您付款", "成功收款"}, kAdverts, kRepeats,
     Channel::alipay},
};

bool hasAny(std::string_view text, const std::vector<std::string_view>& words) {
  return std::any_of(words.begin(), words.end(), [&](std::string_view w) { return text.find(w) != text.npos; });
}

// Phones and their listeners differ in the blanks they put around figures ("到账 1430.00 元") and
// wrap lines as they like: the words are compared without ASCII blanks, no-break and ideographic spaces.
std::string withoutBlanks(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || (c >= '\t' && c <= '\r')) continue;
    if (text.substr(i, 2) == "\u00a0") { i += 1; continue; }
    if (text.substr(i, 3) == "\u3000") { i += 2; continue; }
    out += c;
  }
  return out;
}

// A notification's words split as a group summary writes them: "[3条]" and "微信支付: " before the
// payment's own words. A colon counts only before the first marker, so a remark after the amount stays.
struct Words {
  std::string all;
  std::string_view sender;
  std::string_view own;
};

Words wordsOf(std::string_view field, const Rule& rule) {
  Words words{withoutBlanks(field), {}, {}};
  std::string_view rest = words.all;
  if (rest.starts_with('[')) {
    const size_t digitsEnd = rest.find_first_not_of("0123456789", 1);
    if (digitsEnd > 1 && digitsEnd != rest.npos && rest.substr(digitsEnd).starts_with("条]"))
      rest.remove_prefix(digitsEnd + std::string_view("条]").size());
  }
  if (!rule.senders.empty()) {
    size_t firstMarker = rest.npos;
    for (std::string_view marker : rule.markers) firstMarker = std::min(firstMarker, rest.find(marker));
    const std::string_view before = rest.substr(0, firstMarker);
    const size_t ascii = before.find(':'), wide = before.find("：");
    const size_t colon = std::min(ascii, wide);
    if (colon != before.npos) {
      words.sender = rest.substr(0, colon);
      rest.remove_prefix(colon + (colon == ascii ? 1 : std::string_view("：").size()));
    }
  }
  words.own = rest;
  return words;
}

// "1,430.00" as well as "1430.00": commas count only between groups of three digits of the whole yuan,
// so a figure that is not plainly an amount ("14,30", "1,43") is none.
std::optional<money::Fen> amountOf(std::string_view figure) {
  const std::string_view whole = figure.substr(0, figure.find('.'));
  const bool grouped = whole.find(',') != whole.npos;
  std::string plain;
  for (size_t i = 0; i < figure.size(); ++i) {
    const bool groupEdge = grouped && i > 0 && i < whole.size() && (whole.size() - i) % 4 == 0;
    if ((figure[i] == ',') != groupEdge) return std::nullopt;
    if (!groupEdge) plain += figure[i];
  }
  return money::parse(plain);
}

// The amount right after one of the markers, as "1.17元", "¥1.17元" or "¥1.17": a figure is an amount by
// its yuan sign before it or its "元" after it, never by where it stands in the text. Where several markers
// stand, the last one counts: a payer can name himself "通过扫码向你付款10000.00元", but the app's own words
// come after his name.
std::optional<money::Fen> amountAfter(std::string_view own, const std::vector<std::string_view>& markers) {
  size_t bestAt = own.npos;
  std::optional<money::Fen> best;
  for (std::string_view marker : markers) {
    for (size_t at = own.find(marker); at != own.npos; at = own.find(marker, at + 1)) {
      std::string_view rest = own.substr(at + marker.size());
      bool yuanSign = false;
      for (std::string_view sign : {"¥", "￥"})  // half- and full-width, as versions and vendors write them
        if (rest.starts_with(sign)) rest.remove_prefix(sign.size()), yuanSign = true;
      const size_t figureEnd = std::min(rest.find_first_not_of("0123456789.,"), rest.size());
      if (!yuanSign && !rest.substr(figureEnd).starts_with("元")) continue;
      const auto fen = amountOf(rest.substr(0, figureEnd));
      if (fen && (bestAt == own.npos || at > bestAt)) bestAt = at, best = fen;
    }
  }
  return best;
}

}  // namespace

Result recognise(const Notification& notification) {
  Result result{std::nullopt, "not a payment app"};
  for (const Rule& rule : kRules) {
    if (rule.package != notification.package) continue;
    const Words words = wordsOf(rule.amountIn == Field::title ? notification.title : notification.text, rule);
    const std::string from = words.sender.empty() ? withoutBlanks(notification.title) : std::string(words.sender);
    if (!rule.senders.empty() && std::find(rule.senders.begin(), rule.senders.end(), from) == rule.senders.end()) {
      if (result.reason != "no amount") result.reason = "not from the payment sender";
      continue;
    }
    if (hasAny(words.all, rule.repeats)) return {std::nullopt, "repeat of an earlier announcement"};
    if (hasAny(words.all, rule.adverts)) return {std::nullopt, "advert"};
    if (const auto fen = amountAfter(words.own, rule.markers))
      return {Payment{rule.channel, *fen, std::string(words.own)}, ""};
    result.reason = "no amount";
  }
  return result;
}

}  // namespace hub::recognise
