// The program's message box: OK only, no icon, no owner, modal for the whole program, callable from
// either thread; returns when the user has dismissed it.
#pragma once
#include <string>

namespace msgbox {

inline constexpr const char* kDefaultTitle = "信息：";

void show(const std::string& text, const std::string& title = kDefaultTitle);

}  // namespace msgbox
