// Writing into a std::string through a raw pointer. The string's own appends
// are calls into the library, each with its length checks, and one document
// can have millions of tokens; here a token asks once for room enough for
// its longest form and is then written straight into place.
//
// The string is lengthened in steps (the library zero-fills the step, which
// is then overwritten while it is still in the cache) and cut back to what
// was written when the cursor goes. Only one cursor at a time may work on a
// string, and nothing else may touch the string while it does.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "json/value.h"

namespace kelvane::json::detail {

// Lengthens `out`, of which the first `used` bytes are written, so that at
// least `n` more fit. Within the capacity the step stays small (64 KiB), so
// that the zero-fill stays in the cache; past it, the string's own growth
// decides. A short string grows by its own length (256 bytes at least), not
// by a whole step: a small line (a token's claims, a verdict) is written by
// many cursors in turn, each of which would zero-fill 64 KiB again. Throws
// std::bad_alloc like the string. The one growth step of the cursor below
// and of the canonical writer's output.
inline void lengthen_for(std::string& out, std::size_t used, std::size_t n) {
  constexpr std::size_t kStep = std::size_t{64} << 10;
  constexpr std::size_t kFirstStep = 256;
  const std::size_t step = used < kFirstStep ? kFirstStep : (used < kStep ? used : kStep);
  std::size_t size = used + (n > step ? n : step);
  if (size > out.capacity() && used + n <= out.capacity()) size = out.capacity();
  out.resize(size);
}

class OutputCursor {
 public:
  explicit OutputCursor(std::string& out) noexcept
      : out_(out), pos_(out.data() + out.size()), end_(pos_) {}
  OutputCursor(const OutputCursor&) = delete;
  OutputCursor& operator=(const OutputCursor&) = delete;
  // Only shortens the string, which cannot fail.
  ~OutputCursor() { out_.resize(static_cast<std::size_t>(pos_ - out_.data())); }

  // At least `n` writable bytes at the returned position; advance() then
  // keeps those that were written. Throws std::bad_alloc like the string.
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) grow(n);
    return pos_;
  }
  void advance(std::size_t n) noexcept { pos_ += n; }

  void put(char c) {
    *room(1) = c;
    ++pos_;
  }
  void put(const char* p, std::size_t n) {
    std::memcpy(room(n), p, n);
    pos_ += n;
  }

 private:
  void grow(std::size_t n) {
    const auto used = static_cast<std::size_t>(pos_ - out_.data());
    lengthen_for(out_, used, n);
    pos_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* pos_;
  char* end_;
};

// The escape of a byte that ends a plain run (quote, backslash, control
// byte): its short form, or \u00 and two lower-case hexadecimal digits.
// Returns its length, 2 or 6.
std::size_t escape_sequence(unsigned char byte, char* out) noexcept;

// The tokens of the compact writer, written at a cursor.
void write_str(OutputCursor& out, std::string_view text);
// The same for a short string as a value holds it: `bytes` are the value's
// sixteen, the length in bytes[1] (at most 14) and the text from bytes[2].
void write_short_str(OutputCursor& out, const unsigned char* bytes);
void write_number(OutputCursor& out, Number number);

}  // namespace kelvane::json::detail
