#pragma once
// Tells a payment notification from every other notification a phone passes on, by rules over the
// notifying app's package, the title and the text, as merchants' phones show them. The rules are data
// (rules_file.h): the forms the hub ships and an operator's own, read at start and on SIGHUP.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/channel.h"
#include "common/money.h"

namespace hub::recognise {

struct Notification {
  std::string_view package;  // "com.tencent.mm", "com.eg.android.AlipayGphone"
  std::string_view title;
  std::string_view text;
};

enum class LookIn { title, text, both };

// One form of notification: the app that posts it, whom it comes from, where its words stand, and what
// it makes of them: a payment of a channel (the amount right after one of `before`), or no payment for
// `notPayment`'s reason when one of `words` stands there (adverts, repeats, summaries).
struct Rule {
  std::string name;
  std::string package;
  std::vector<std::string> senders;  // titles (or group-summary senders) it comes under; empty: any
  LookIn lookIn = LookIn::text;
  std::vector<std::string> before;  // a payment rule's words right before the amount: "收款" + "1.17元"
  std::optional<Channel> channel;   // set: a payment rule
  std::vector<std::string> words;   // a non-payment rule's words
  std::string notPayment;           // set: a non-payment rule, and why
  std::string from;                 // "FILE:LINE", for the operator
};

// The rules in the order they are tried; the first that decides, decides.
struct Rules {
  std::vector<Rule> list;
};

struct Payment {
  Channel channel = Channel::wechat;
  money::Fen fen = 0;
  // The payment's own words with what phones add around them taken off (a group summary's "[3条]微信支付: ",
  // blanks): the same payment posted twice gives the same key, so the store can tell the repeat.
  std::string key;
};

struct Result {
  std::optional<Payment> payment;
  std::string reason;  // why it is not a payment, for the phone's answer ("not a payment app", ...)
  std::string rule;    // the rule that decided; empty when none did
  // From a payment app, with a money figure and a payment word, yet no rule decided: perhaps a form the
  // rules do not know yet, kept for the merchant to see.
  bool notCounted = false;
};

Result recognise(const Rules& rules, const Notification& notification);

}  // namespace hub::recognise
