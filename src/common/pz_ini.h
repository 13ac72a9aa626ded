// The sections and keys of pz.ini, the settings file beside the program: one spelling each.
#pragma once

namespace pz {

// The remembered login.
inline constexpr const char* kLoginSection = "登陆";
inline constexpr const char* kRememberKey = "是否记住";
inline constexpr const char* kAccountKey = "账号";
inline constexpr const char* kPasswordKey = "密码";

inline constexpr const char* kSettingsSection = "设置";
inline constexpr const char* kAutostartKey = "自启动";
inline constexpr const char* kVoiceKey = "声音选择";

inline constexpr const char* kSpeechSection = "语音播报";
inline constexpr const char* kClosingPhraseKey = "播报结尾";

}  // namespace pz
