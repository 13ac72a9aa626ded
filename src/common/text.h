// Text helpers over GBK byte text. Positions and lengths are in bytes and 1-based; a Chinese
// character is two bytes, and a scan never starts a match on the second byte of one.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace text {

// Byte arrays (file contents, HTTP bodies) travel in a std::string too; zero bytes are data.
using Bytes = std::string;

// The 1-based position of the first occurrence of `what` at or after `start`, or -1.
// An empty `what`, or a start outside the text, finds nothing.
int find(std::string_view text, std::string_view what, int start = 1, bool ignoreCase = false);

// Replaces occurrences of `what` from `start` on; `count` below 0 means every occurrence.
std::string replace(std::string_view text, std::string_view what, std::string_view with, int start = 1,
                    int count = -1, bool ignoreCase = false);

// The pieces between separators, left to right: an empty piece before a separator counts, an empty
// rest after the last one does not, and an empty text gives no pieces.
std::vector<std::string> splitFields(std::string_view text, std::string_view separator);

// Removes ASCII blanks and full-width spaces (A1 A1) at both ends; tabs and line breaks stay.
std::string trim(std::string_view text);

std::string left(std::string_view text, int count);
std::string right(std::string_view text, int count);
// `count` bytes from the 1-based position `start`.
std::string mid(std::string_view text, int start, int count);

// Replaces every full-width form of printable ASCII (A3 A1 to A3 FE) by that ASCII character and the
// ideographic space (A1 A1) by a blank.
std::string foldFullWidth(std::string_view text);

// True for a byte that starts a GBK double-byte character.
inline bool isLeadByte(unsigned char c) { return c >= 0x80; }

}  // namespace text
