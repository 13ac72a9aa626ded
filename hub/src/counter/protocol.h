#pragma once
// The texts a counter and the hub exchange: UTF-8 text frames whose fields are joined by the separator.
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "store/store.h"

namespace hub::counter::protocol {

inline constexpr std::string_view kSeparator = "【字段分隔符】";
inline constexpr std::string_view kBillMarker = "by：Quimbe";

// What counters send.
inline constexpr std::string_view kLogin = "用户登录";
inline constexpr std::string_view kBills = "获取账单";
inline constexpr std::string_view kRegister = "用户注册";

// What the hub sends.
inline constexpr std::string_view kLoginAnswer = "登录响应";
inline constexpr std::string_view kRegisterAnswer = "注册响应";
inline constexpr std::string_view kServerInfo = "服务器信息";
inline constexpr std::string_view kPayment = "收到收款";
inline constexpr std::string_view kBillHistory = "账单回调";
inline constexpr std::string_view kPhoneOnline = "APP正常";
inline constexpr std::string_view kPhoneOffline = "APP掉线";

inline constexpr std::string_view kLoginOk = "登录成功！";
inline constexpr std::string_view kLoginFailed = "登录失败，帐号或密码错误！";
inline constexpr std::string_view kRegistered = "注册成功！";
inline constexpr std::string_view kNameTaken = "该账号已被注册！";
inline constexpr std::string_view kRegistrationClosed = "注册已关闭，请联系管理员！";
inline constexpr std::string_view kBadCredentials = "账号或密码格式不正确！";
inline constexpr std::string_view kBadMachineId = "登录失败，机器码不正确！";

// The pieces between separators, as counters cut them: the piece before each separator counts even when
// empty, the rest after the last one only when it is not empty.
std::vector<std::string_view> split(std::string_view text);

struct Request {
  enum class Kind { login, bills, registration, unknown } kind = Kind::unknown;
  std::string_view account, password, machineId;
  size_t pieces = 0;  // how many the text had, kind word included
};
// Reads a counter's text. A text that is no request the hub knows, or has too few pieces, is unknown.
Request read(std::string_view text);

// An account name or password a counter may register: 6 to 64 bytes, no control characters, no separator.
bool validCredential(std::string_view text);

// A counter's machine id: 32 hex digits.
bool validMachineId(std::string_view text);

std::string answer(std::string_view kind, std::string_view text);  // kind F text
std::string serverInfo(const store::ServerInfo& info);
std::string payment(Channel channel, money::Fen fen);
// "账单回调by：Quimbe" and one line per bill, oldest first: number F time F channel F amount, joined by CR LF.
std::string billHistory(const std::vector<store::Bill>& bills, const clock::Zone& zone);

}  // namespace hub::counter::protocol
