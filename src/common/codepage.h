// Code-page conversion between GBK (code page 936) and UTF-8, as Windows does it: a character GBK
// cannot hold becomes "?", invalid UTF-8 becomes U+FFFD before conversion. Win32 on Windows, iconv natively.
#pragma once
#include <string>
#include <string_view>

namespace codepage {

std::string utf8ToGbk(std::string_view utf8);
std::string gbkToUtf8(std::string_view gbk);

}  // namespace codepage
