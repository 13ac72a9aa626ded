#pragma once
// Texts that come from outside: UTF-8 checks (whether a text is well formed, cutting one short without
// splitting a character) and the decoding of a URL's %XX escapes.
#include <cstddef>
#include <string>
#include <string_view>

namespace hub::text {

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool validUtf8(std::string_view text);

// At most `bytes` bytes of the text, cut at a character's start so that valid UTF-8 stays valid.
std::string clipUtf8(std::string_view text, std::size_t bytes);

// Whether the text holds a control character (C0, DEL or C1).
bool hasControl(std::string_view text);

// The text with its %XX escapes decoded, as a URL's path carries it: '+' is itself. A '%' without two
// hexadecimal digits after it stays as it is.
std::string percentDecode(std::string_view text);
// The same for a form's name or value (a query, an urlencoded body), where '+' is a blank.
std::string formDecode(std::string_view text);
// Whether the text holds a %XX escape that would decode.
bool hasPercentEscape(std::string_view text);

}  // namespace hub::text
