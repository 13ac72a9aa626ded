// Splitting untrusted server text: pieces must be real, in-order parts of the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "server/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first byte picks the separator: the program's own, or a short one taken from the input.
  std::string separator = protocol::kFieldSeparator;
  std::string_view text = input;
  if (!input.empty() && (input[0] & 1)) {
    const size_t n = std::min<size_t>(static_cast<unsigned char>(input[0]) % 4, input.size() - 1);
    separator = std::string(input.substr(1, n));
    text = input.substr(1 + n);
  }
  const auto pieces = text::splitFields(text, separator);
  if (text.empty() && !pieces.empty()) std::abort();
  size_t joined = 0, at = 0;
  for (const std::string& piece : pieces) {
    if (text.substr(at, piece.size()) != piece) std::abort();  // pieces follow each other in the text
    joined += piece.size();
    at += piece.size() + separator.size();
  }
  if (joined > text.size()) std::abort();
  if (!separator.empty())
    for (const std::string& piece : pieces)
      if (text::find(piece, separator) != -1) std::abort();  // no piece still holds a separator
  return 0;
}
