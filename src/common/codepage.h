// Code-page conversion between GBK (code page 936) and UTF-8, as Windows does it: a character GBK
// cannot hold becomes "?", invalid UTF-8 becomes U+FFFD before conversion. Win32 on Windows, iconv natively.
#pragma once
#include <string>
#include <string_view>

namespace codepage {

std::string utf8ToGbk(std::string_view utf8);
std::string gbkToUtf8(std::string_view gbk);

// The length of the well-formed UTF-8 sequence at byte `i` (no overlong forms, no surrogates, nothing
// beyond U+10FFFF), or 0 when there is none; `invalidLength` then receives the length of its maximal
// invalid subpart (the lead byte and the continuation bytes that could still have belonged to a valid
// sequence), which a conversion turns into one U+FFFD.
size_t utf8SequenceAt(std::string_view s, size_t i, size_t& invalidLength);
bool isUtf8(std::string_view s);

}  // namespace codepage
