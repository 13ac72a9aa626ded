#pragma once
// Tells a payment notification from every other notification a phone passes on, by a table of rules
// over the notifying app's package, the title and the text, as merchants' phones show them.
#include <optional>
#include <string>
#include <string_view>

#include "common/channel.h"
#include "common/money.h"

namespace hub::recognise {

struct Notification {
  std::string_view package;  // "com.tencent.mm", "com.eg.android.AlipayGphone"
  std::string_view title;
  std::string_view text;
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
};

Result recognise(const Notification& notification);

}  // namespace hub::recognise
