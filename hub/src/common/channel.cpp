#include "common/channel.h"

#include <array>

namespace hub {
namespace {

struct ChannelWords {
  Channel channel;
  std::string_view phone;    // as the phone side's forwarders name it
  std::string_view counter;  // as the counter lists and speaks it
};

constexpr std::array kChannels{
    ChannelWords{Channel::wechat, "wechat", "微信收款"},
    ChannelWords{Channel::alipay, "alipay", "支付宝收款"},
};

// Forwarders write "wechat", "WeChat" or "WECHAT"; the Chinese words have no case.
bool sameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string_view counterWord(Channel channel) {
  for (const auto& words : kChannels)
    if (words.channel == channel) return words.counter;
  return {};
}

std::optional<Channel> channelNamed(std::string_view name) {
  for (const auto& words : kChannels)
    if (sameIgnoringAsciiCase(name, words.phone) || name == words.counter) return words.channel;
  return std::nullopt;
}

}  // namespace hub
