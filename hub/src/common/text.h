#pragma once
// UTF-8 checks for texts that come from outside: whether a text is well formed, and cutting one short
// without splitting a character.
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

}  // namespace hub::text
