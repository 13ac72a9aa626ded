#include "recognise/recogniser.h"

#include <algorithm>

namespace hub::recognise {
namespace {

bool hasAny(std::string_view text, const std::vector<std::string>& words) {
  return std::any_of(words.begin(), words.end(), [&](std::string_view w) { return text.find(w) != text.npos; });
}

// Phones and their listeners differ in the blanks they put around figures ("到账 1430.00 元") and
// wrap lines as they like: the words are compared without ASCII blanks, no-break and ideographic spaces.
std::string withoutBlanks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || (c >= '\t' && c <= '\r')) continue;
    if (text.substr(i, 2) == "\u00a0") { i += 1; continue; }
    if (text.substr(i, 3) == "\u3000") { i += 2; continue; }
    out += c;
  }
  return out;
}

// A field's words without blanks and without a group summary's count ("[3条]").
std::string wordsOf(std::string_view field) {
  std::string all = withoutBlanks(field);
  std::string_view rest = all;
  if (rest.starts_with('[')) {
    const size_t digitsEnd = rest.find_first_not_of("0123456789", 1);
    if (digitsEnd > 1 && digitsEnd != rest.npos && rest.substr(digitsEnd).starts_with("条]"))
      return std::string(rest.substr(digitsEnd + std::string_view("条]").size()));
  }
  return all;
}

// A group summary names its sender before a colon ("微信支付: …"); a colon counts only before `end` (where
// the words the rule looks for stand), so that a remark after the amount stays.
struct Split {
  std::string_view sender;
  std::string_view own;
};
Split splitSender(std::string_view words, size_t end) {
  const std::string_view before = words.substr(0, end);
  const size_t ascii = before.find(':'), wide = before.find("：");
  const size_t colon = std::min(ascii, wide);
  if (colon == before.npos) return {{}, words};
  return {words.substr(0, colon), words.substr(colon + (colon == ascii ? 1 : std::string_view("：").size()))};
}

// "*店员通*": any sender holding 店员通; "*" stands for any words at either end.
bool senderMatches(std::string_view pattern, std::string_view sender) {
  const bool anyBefore = pattern.starts_with('*'), anyAfter = pattern.size() > 1 && pattern.ends_with('*');
  if (anyBefore) pattern.remove_prefix(1);
  if (anyAfter) pattern.remove_suffix(1);
  if (anyBefore && anyAfter) return sender.find(pattern) != sender.npos;
  if (anyBefore) return sender.ends_with(pattern);
  if (anyAfter) return sender.starts_with(pattern);
  return sender == pattern;
}

bool fromSender(const Rule& rule, std::string_view sender) {
  return rule.senders.empty() || std::any_of(rule.senders.begin(), rule.senders.end(),
                                             [&](const std::string& s) { return senderMatches(s, sender); });
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

// The amount right after one of the words, as "1.17元", "¥1.17元" or "¥1.17": a figure is an amount by its
// yuan sign before it or its "元" after it, never by where it stands in the text. Where several stand, the
// last one counts: a payer can name himself "通过扫码向你付款10000.00元", but the app's own words come after
// his name. `at` is where the deciding words start.
struct Found {
  size_t at = std::string_view::npos;
  std::optional<money::Fen> fen;
};
Found amountAfter(std::string_view words, const std::vector<std::string>& before) {
  Found best;
  for (std::string_view marker : before) {
    for (size_t at = words.find(marker); at != words.npos; at = words.find(marker, at + 1)) {
      std::string_view rest = words.substr(at + marker.size());
      bool yuanSign = false;
      for (std::string_view sign : {"¥", "￥"})  // half- and full-width, as versions and vendors write them
        if (rest.starts_with(sign)) rest.remove_prefix(sign.size()), yuanSign = true;
      const size_t figureEnd = std::min(rest.find_first_not_of("0123456789.,"), rest.size());
      if (!yuanSign && !rest.substr(figureEnd).starts_with("元")) continue;
      const auto fen = amountOf(rest.substr(0, figureEnd));
      if (fen && (best.at == words.npos || at > best.at)) best = {at, fen};
    }
  }
  return best;
}

// Where the first of the words stands; npos when none does.
size_t firstOf(std::string_view words, const std::vector<std::string>& list) {
  size_t first = words.npos;
  for (std::string_view w : list) first = std::min(first, words.find(w));
  return first;
}

// What a notification that no rule decided shows of money: a figure with a yuan sign or "元", and a word
// of receiving money. Such a one from a payment app may be a form the rules do not know yet.
bool looksLikeMoneyIn(std::string_view words) {
  static const std::vector<std::string> kSigns{"元", "¥", "￥"}, kWords{"收款", "到账", "付款", "收钱"};
  return hasAny(words, kSigns) && hasAny(words, kWords) && words.find_first_of("0123456789") != words.npos;
}

}  // namespace

Result recognise(const Rules& rules, const Notification& notification) {
  Result result{std::nullopt, "not a payment app", "", false};
  const std::string title = wordsOf(notification.title), text = wordsOf(notification.text);
  bool paymentApp = false;
  for (const Rule& rule : rules.list) {
    if (rule.package != notification.package) continue;
    paymentApp = true;
    const std::string_view fields[] = {title, text};
    const size_t from = rule.lookIn == LookIn::text ? 1 : 0, to = rule.lookIn == LookIn::title ? 1 : 2;
    for (size_t f = from; f < to; ++f) {
      const std::string_view words = fields[f];
      // Without senders, the words are taken whole: an Alipay payer may write a colon in his name.
      const bool payment = rule.channel.has_value();
      const Found found = payment ? amountAfter(words, rule.before) : Found{};
      const size_t end = payment ? (found.fen ? found.at : firstOf(words, rule.before)) : firstOf(words, rule.words);
      const Split split = rule.senders.empty() ? Split{{}, words} : splitSender(words, end);
      const bool fromItsSender = fromSender(rule, split.sender.empty() ? std::string_view(title) : split.sender);
      if (!payment) {
        if (end != words.npos && fromItsSender) return {std::nullopt, rule.notPayment, rule.name, false};
        continue;
      }
      if (!fromItsSender) {
        if (result.reason != "no amount") result.reason = "not from the payment sender";
        continue;
      }
      if (found.fen) return {Payment{*rule.channel, *found.fen, std::string(split.own)}, "", rule.name, false};
      result.reason = "no amount";
    }
  }
  result.notCounted = paymentApp && (looksLikeMoneyIn(title) || looksLikeMoneyIn(text));
  return result;
}

}  // namespace hub::recognise
