// Conversions between the program's GBK text and what the speech service and HTTP need.
#pragma once
#include <string>
#include <string_view>

#include "common/text.h"

namespace codecs {

// UTF-8 bytes to GBK text; a zero byte ends the text.
std::string utf8ToGbk(const text::Bytes& utf8);
// GBK text (up to its first zero byte) to UTF-8 bytes.
std::string gbkToUtf8(std::string_view gbk);

// Percent-encodes every byte ("%XX", upper-case), keeping "-", ".", digits and letters when
// keepUnreserved is set; asUtf8 encodes the UTF-8 form of the text instead of its GBK bytes.
std::string urlEncode(std::string_view text, bool keepUnreserved = false, bool asUtf8 = false);

std::string base64Encode(const text::Bytes& bytes);

// Character classes for randomText; no class means digits.
enum RandomClass { kDigits = 1, kLower = 2, kUpper = 4, kSymbols = 8 };
// `count` characters drawn from the pool of the given classes; below 1 gives the empty text.
std::string randomText(int count, int classes = 0);

}  // namespace codecs
