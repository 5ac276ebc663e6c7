#include "support/quoting.h"

#include "support/utf8.h"
#include "support/visible_text.h"

namespace kelvane {

std::string quoted(std::string_view text) {
  std::string out;
  visible::append_quoted(out, text);
  return out;
}

std::string quoted_prefix(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return quoted(text);
  std::size_t end = 0;
  while (end < text.size()) {
    std::size_t length = 1;
    utf8::decode(text, end, length);
    if (end + length > max_bytes) break;
    end += length;
  }
  return quoted(text.substr(0, end)) + "...";
}

}  // namespace kelvane
