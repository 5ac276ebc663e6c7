#include "support/whitespace.h"

#include "support/utf8.h"

namespace kelvane {

bool is_unicode_white_space(char32_t c) noexcept {
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || c == 0x20;
  switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trim(std::string_view text) noexcept {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    std::size_t len = 0;
    if (!is_unicode_white_space(utf8::decode(text, begin, len))) break;
    begin += len;
  }
  while (end > begin) {
    std::size_t len = 0;
    if (!is_unicode_white_space(utf8::decode_before(text, end, len))) break;
    end -= len;
  }
  return text.substr(begin, end - begin);
}

}  // namespace kelvane
