// The message protocol with the notification server: messages are fields joined by this separator.
#pragma once

namespace protocol {

// "【字段分隔符】": A1 BE D7 D6 B6 CE B7 D6 B8 F4 B7 FB A1 BF in GBK.
inline constexpr const char* kFieldSeparator = "【字段分隔符】";

// Kind words of the messages we send.
inline constexpr const char* kLogin = "用户登录";          // F account F password F machine identifier
inline constexpr const char* kBillRequest = "获取账单";    // F account F password
inline constexpr const char* kRegistration = "用户注册";   // F account F password F machine identifier

// Kind words of the messages we receive.
inline constexpr const char* kAppOffline = "APP掉线";      // the whole text, nothing else
inline constexpr const char* kAppOnline = "APP正常";       // the whole text, nothing else
inline constexpr const char* kRegistrationAnswer = "注册响应";  // F answer
inline constexpr const char* kLoginAnswer = "登录响应";         // F answer
inline constexpr const char* kServerInfo = "服务器信息";  // F status F notice F version F fourth F fifth
inline constexpr const char* kPayment = "收到收款";        // F channel F amount

// Answer texts the program acts on.
inline constexpr const char* kLoginSucceeded = "登录成功！";
inline constexpr const char* kLoginFailed = "登录失败，帐号或密码错误！";
inline constexpr const char* kRegistrationSucceeded = "注册成功！";

// Server information: the status while the service runs, and the version of this program.
inline constexpr const char* kServiceRunning = "1";
inline constexpr const char* kOurVersion = "1.0";

}  // namespace protocol
