// The program's message box: OK only, no icon, no owner, modal for the whole program, callable from
// either thread; returns when the user has dismissed it. On Windows it lives with the window layer
// (app/msgbox_win32.cpp), as a box raised off the window thread holds the windows' input; natively a
// stand-in records it (msgbox_native.cpp, msgbox_shown.h).
#pragma once
#include <string>

namespace msgbox {

inline constexpr const char* kDefaultTitle = "信息：";

void show(const std::string& text, const std::string& title = kDefaultTitle);

// The box for a message that must not hold up the thread that raises it (the server link's): off the
// window thread it returns at once and the box stays up on a thread of its own, and while a box with
// this text is open the same text raises no second one. On the window thread it waits, like show. The
// program's windows take no input while the box is open, either way.
void showWithoutWaiting(const std::string& text);

}  // namespace msgbox
