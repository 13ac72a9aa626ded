#include "common/text.h"

#include <algorithm>

namespace text {

namespace {

unsigned char lowerAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

// Compares `what` with `text` at `pos`. When ignoring case only ASCII bytes are folded, and never the
// second byte of one of `what`'s double-byte characters: that byte may look like a letter (GBK trail
// bytes reach down to 0x40) and must still match exactly.
bool matchesAt(std::string_view text, size_t pos, std::string_view what, bool ignoreCase) {
  if (!ignoreCase) return text.compare(pos, what.size(), what) == 0;
  bool trail = false;
  for (size_t j = 0; j < what.size(); ++j) {
    const auto w = static_cast<unsigned char>(what[j]);
    const auto t = static_cast<unsigned char>(text[pos + j]);
    if (trail) {
      if (w != t) return false;
      trail = false;
      continue;
    }
    if (lowerAscii(w) != lowerAscii(t)) return false;
    trail = isLeadByte(w);
  }
  return true;
}

// 0-based position of the first match at or after `from`, or npos. The scan steps over both bytes of a
// double-byte character so a match never begins on a trail byte.
size_t scan(std::string_view text, std::string_view what, size_t from, bool ignoreCase) {
  if (what.empty() || text.size() < what.size()) return std::string_view::npos;
  const size_t last = text.size() - what.size();
  for (size_t i = from; i <= last;) {
    if (matchesAt(text, i, what, ignoreCase)) return i;
    i += isLeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
  }
  return std::string_view::npos;
}

}  // namespace

int find(std::string_view text, std::string_view what, int start, bool ignoreCase) {
  if (start < 1 || static_cast<size_t>(start) > text.size()) return -1;
  const size_t at = scan(text, what, static_cast<size_t>(start - 1), ignoreCase);
  return at == std::string_view::npos ? -1 : static_cast<int>(at + 1);
}

std::string replace(std::string_view text, std::string_view what, std::string_view with, int start, int count,
                    bool ignoreCase) {
  if (what.empty() || count == 0 || start < 1 || static_cast<size_t>(start) > text.size())
    return std::string(text);
  std::string out(text.substr(0, static_cast<size_t>(start - 1)));
  size_t from = static_cast<size_t>(start - 1);
  for (int done = 0; count < 0 || done < count; ++done) {
    const size_t at = scan(text, what, from, ignoreCase);
    if (at == std::string_view::npos) break;
    out.append(text.substr(from, at - from)).append(with);
    from = at + what.size();
  }
  out.append(text.substr(from));
  return out;
}

std::vector<std::string> splitFields(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  size_t from = 0;
  if (!separator.empty()) {
    for (size_t at; (at = scan(text, separator, from, false)) != std::string_view::npos;) {
      pieces.emplace_back(text.substr(from, at - from));
      from = at + separator.size();
    }
  }
  if (from < text.size()) pieces.emplace_back(text.substr(from));
  return pieces;
}

std::string trim(std::string_view text) {
  // Walk whole characters from the left, so a trail byte A1 is never mistaken for half a full-width space.
  size_t begin = text.size(), end = 0;
  for (size_t i = 0; i < text.size();) {
    const bool wide = isLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size();
    const size_t width = wide ? 2 : 1;
    const bool blank = text[i] == ' ' || (wide && text[i] == '\xA1' && text[i + 1] == '\xA1');
    if (!blank) {
      begin = std::min(begin, i);
      end = i + width;
    }
    i += width;
  }
  return begin < end ? std::string(text.substr(begin, end - begin)) : std::string();
}

std::string left(std::string_view text, int count) {
  if (count <= 0) return {};
  return std::string(text.substr(0, static_cast<size_t>(count)));
}

std::string right(std::string_view text, int count) {
  if (count <= 0) return {};
  const size_t n = std::min(text.size(), static_cast<size_t>(count));
  return std::string(text.substr(text.size() - n));
}

std::string mid(std::string_view text, int start, int count) {
  if (count <= 0) return {};
  const size_t from = start < 1 ? 0 : static_cast<size_t>(start - 1);
  if (from >= text.size()) return {};
  return std::string(text.substr(from, static_cast<size_t>(count)));
}

std::string foldFullWidth(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!isLeadByte(c) || i + 1 == text.size()) {
      out.push_back(text[i++]);
      continue;
    }
    const auto t = static_cast<unsigned char>(text[i + 1]);
    if (c == 0xA3 && t >= 0xA1 && t <= 0xFE)
      out.push_back(static_cast<char>(t - 0x80));  // A3 A1 is "!", A3 FE is "~"
    else if (c == 0xA1 && t == 0xA1)
      out.push_back(' ');
    else
      out.append(text.substr(i, 2));
    i += 2;
  }
  return out;
}

}  // namespace text
