// The controls the program's code works on, one constant each, named for its role. The Chinese names
// are the controls' own: the window definitions make the controls under them, and the window layer
// finds a control by them. A control no code touches keeps its name in the window definitions alone.
#pragma once

namespace controls {

// The main window.
inline constexpr const char* kPages = "高级选择夹1";  // tab control: 账单流水, 软件管理, 历史账单

// Page 账单流水: the two channels' lists with their totals and counts.
inline constexpr const char* kMonitorLabel = "标签_监控状态";
inline constexpr const char* kAnnounceBox = "选择框2";  // "启用播报"
inline constexpr const char* kWeChatList = "超级列表框_微信收款";
inline constexpr const char* kWeChatTotalLabel = "标签_微信合计";
inline constexpr const char* kWeChatCountLabel = "标签_微信累计收款";
inline constexpr const char* kAlipayList = "超级列表框_支付宝收款";
inline constexpr const char* kAlipayTotalLabel = "标签_支付宝合计";
inline constexpr const char* kAlipayCountLabel = "标签_支付宝累计收款";

// Page 软件管理.
inline constexpr const char* kNoticeLabel = "标签8";
inline constexpr const char* kVoiceBox = "组合框1";
inline constexpr const char* kClosingPhraseBox = "编辑框1";
inline constexpr const char* kTestButton = "按钮1";  // "试听"
inline constexpr const char* kLoginPanel = "分组框2";
inline constexpr const char* kLoginAccountBox = "编辑框_登陆账号";
inline constexpr const char* kLoginPasswordBox = "编辑框_登陆密码";
inline constexpr const char* kLoginButton = "按钮_登陆";
inline constexpr const char* kRememberBox = "选择框1";  // "记住密码"
inline constexpr const char* kRegisterLink = "标签3";   // "立即注册"
inline constexpr const char* kAutostartBox = "选择框3";  // "开机自启"

// The registration window.
inline constexpr const char* kNewAccountBox = "编辑框_注册账号";
inline constexpr const char* kNewPasswordBox = "编辑框_注册密码";
inline constexpr const char* kConfirmPasswordBox = "编辑框_注册确认密码";
inline constexpr const char* kRegisterButton = "按钮1";  // "注册"

}  // namespace controls
