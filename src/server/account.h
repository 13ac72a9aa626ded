// The account flows: login (by the button and after every connection), the remembered credentials,
// registration in its own window, and what the server's answers change.
#pragma once
#include <string>

namespace account {

// Click of "登录": sends the login, then stores the remembering state whatever the login did.
void submitLogin();

// Checks that both texts are there, then sends the login and at once the bill request.
void sendLogin(const std::string& account, const std::string& password);

// Press on "立即注册": opens the registration window, or brings the open one to the front.
void openRegistration();

// Click of the registration window's "注册": checks the boxes, then sends the registration.
void submitRegistration();

// Piece 1 of "登录响应" and of "注册响应".
void onLoginAnswer(const std::string& answer);
void onRegistrationAnswer(const std::string& answer);

// Messages.
inline constexpr const char* kIncompleteMessage = "请填写完整信息后重试！";
inline constexpr const char* kShortAccountMessage = "请输入六位或六位以上的账号！";
inline constexpr const char* kShortPasswordMessage = "请输入六位或六位以上的密码！";
inline constexpr const char* kPasswordsDifferMessage = "两次填写密码不一样请确认后重试！";

}  // namespace account
