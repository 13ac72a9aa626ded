#pragma once
// The two payment channels a counter lists, and the words that name them on each side.
#include <optional>
#include <string_view>

namespace hub {

enum class Channel { wechat = 1, alipay = 2 };

// The counter's word for the channel: "微信收款" or "支付宝收款".
std::string_view counterWord(Channel channel);

// A channel as the phone side names it: "wechat", "alipay", or the counter's words.
std::optional<Channel> channelNamed(std::string_view name);

}  // namespace hub
