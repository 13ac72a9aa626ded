// Operations of the server link and the account flows that the shell calls at fixed points (program
// start, window creation, control events), declared where the shell can see them; they are defined by
// their subsystems (src/server/link.cpp, src/server/account.cpp).
#pragma once

namespace server {

// Program start: create the WebSocket client object and register closeServerLink as the exit clean-up
// (app::registerExitCleanup).
void startServerLink();
// First step of the main window's creation: bind the client's handlers and make the first, blocking
// connection attempt.
void openServerLink();

}  // namespace server

namespace account {

void submitLogin();         // click on 按钮_登陆
void openRegistration();    // left button pressed on 标签3 ("立即注册")
void submitRegistration();  // click on the registration window's 按钮1 ("注册")

}  // namespace account
