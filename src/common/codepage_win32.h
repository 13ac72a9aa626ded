// Windows only: the program's GBK text and the platform's UTF-16, for the calls at the Win32 edge.
#pragma once
#include <string>
#include <string_view>

namespace codepage {

std::wstring gbkToWide(std::string_view gbk);
std::string wideToGbk(std::wstring_view wide);

}  // namespace codepage
