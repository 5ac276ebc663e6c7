// Where the text of a string with escapes goes as the string lexer resolves
// it. A sink takes runs of bytes that need no escape (no quote, backslash or
// control byte among them), the byte of each short escape, and the
// character of each \u escape.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/internal/output_cursor.h"
#include "json/internal/plain_run.h"
#include "support/utf8.h"

namespace kelvane::json::detail {

// The text itself: the bytes that the escapes stand for.
class DecodedText {
 public:
  explicit DecodedText(std::string& buffer) noexcept : buffer_(buffer) {}
  void clear() noexcept { buffer_.clear(); }
  void run(const char* p, std::size_t n) { buffer_.append(p, n); }
  void byte(char c) { buffer_ += c; }
  void code_point(char32_t c) {
    char bytes[4];
    buffer_.append(bytes, utf8::encode(c, bytes));
  }
  std::string_view text() const noexcept { return buffer_; }

 private:
  std::string& buffer_;
};

// The text as the writer spells it between quotes: quote, backslash and
// control bytes escaped, every other character as its UTF-8 bytes. A
// string read this way needs no second look before it is written.
class EscapedText {
 public:
  explicit EscapedText(std::string& buffer) noexcept : buffer_(buffer) {}
  void clear() noexcept { buffer_.clear(); }
  void run(const char* p, std::size_t n) { buffer_.append(p, n); }
  void byte(char c) {
    if (ends_plain_run(static_cast<unsigned char>(c))) {
      char escape[6];
      buffer_.append(escape, escape_sequence(static_cast<unsigned char>(c), escape));
    } else {
      buffer_ += c;
    }
  }
  void code_point(char32_t c) {
    if (c < 0x80) {
      byte(static_cast<char>(c));
      return;
    }
    char bytes[4];
    buffer_.append(bytes, utf8::encode(c, bytes));
  }
  std::string_view text() const noexcept { return buffer_; }

 private:
  std::string& buffer_;
};

}  // namespace kelvane::json::detail
