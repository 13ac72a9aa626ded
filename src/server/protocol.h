// The message protocol with the notification server: messages are fields joined by this separator.
#pragma once

namespace protocol {

// "【字段分隔符】": A1 BE D7 D6 B6 CE B7 D6 B8 F4 B7 FB A1 BF in GBK.
inline constexpr const char* kFieldSeparator = "【字段分隔符】";

}  // namespace protocol
