// The dispatcher: every text the server sends is recognised by its kind word and handed on.
#pragma once
#include <string>

namespace server {

// Recognises and routes one received text (GBK). Sends nothing. A text of an unknown kind, or one
// that lacks the fields its kind needs, changes nothing; no piece is ever read that is not there.
void dispatchMessage(const std::string& message);

// The five texts of the newest server information, kept for the run.
struct ServerInfo {
  std::string status, notice, version, fourth, fifth;
};
ServerInfo serverInfo();
void forgetServerInfo();

inline constexpr const char* kNoticeHeading = "公告";
inline constexpr const char* kMaintenanceMessage = "软件正在维护中，请稍候重试！";
inline constexpr const char* kNewVersionMessage = "检测更新：软件有新版本！";

}  // namespace server
