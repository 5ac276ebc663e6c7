// The scan shared by the writer and the reader of strings: the length of the
// leading run of bytes that are neither a quote, a backslash nor a control
// byte below 0x20. The writer copies such a run unchanged; the reader finds
// the end of a string or its next escape with it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvane::json::detail {

inline bool ends_plain_run(unsigned char c) noexcept {
  return c == '"' || c == '\\' || c < 0x20;
}

#if defined(__GNUC__) && defined(__SSE2__) && !defined(KOA_NO_VECTOR_SCAN)
// Sixteen bytes at a time with the compiler's vector types (plain SSE2
// instructions on x86-64, hence little-endian): several times the
// word-at-a-time rate on long runs.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

inline Bytes16 load16(const char* p) noexcept {
  Bytes16 v;
  std::memcpy(&v, p, 16);
  return v;
}

inline auto escape_marks16(Bytes16 v) noexcept {
  return (v < 0x20) | (v == '"') | (v == '\\');
}

// Offset of the first byte ending a plain run in p[0..16), or 16.
inline std::size_t first_escape16(const char* p) noexcept {
  const auto marks = escape_marks16(load16(p));
  std::uint64_t halves[2];
  std::memcpy(halves, &marks, 16);
  if (halves[0] != 0) return static_cast<std::size_t>(std::countr_zero(halves[0])) / 8;
  if (halves[1] != 0) return 8 + static_cast<std::size_t>(std::countr_zero(halves[1])) / 8;
  return 16;
}

inline bool any_escape64(const char* p) noexcept {
  const auto marks = escape_marks16(load16(p)) | escape_marks16(load16(p + 16)) |
                     escape_marks16(load16(p + 32)) | escape_marks16(load16(p + 48));
  std::uint64_t halves[2];
  std::memcpy(halves, &marks, 16);
  return (halves[0] | halves[1]) != 0;
}

// Length of the leading plain run of text[0..n).
inline std::size_t plain_run(const char* text, std::size_t n) noexcept {
  std::size_t i = 0;
  while (i + 64 <= n && !any_escape64(text + i)) i += 64;
  for (; i + 16 <= n; i += 16) {
    const std::size_t at = first_escape16(text + i);
    if (at < 16) return i + at;
  }
  if (i == n) return n;
  // The tail, padded with a byte that needs no escape.
  char tail[16];
  std::memset(tail, 'a', sizeof tail);
  std::memcpy(tail, text + i, n - i);
  return std::min(n, i + first_escape16(tail));
}

// The same for text that usually ends early, as strings read mostly do:
// the first sixteen bytes are tested alone before the longer strides.
[[gnu::always_inline]] inline std::size_t short_plain_run(const char* text,
                                                          std::size_t n) noexcept {
  if (n >= 16) {
    const std::size_t at = first_escape16(text);
    if (at < 16) return at;
  }
  return plain_run(text, n);
}
#else
// Marks with its high bit every byte of `w` that ends a plain run: below
// 0x20, a quote or a backslash. Borrows can also mark bytes above a marked
// one, never below, so the lowest mark is exact.
inline std::uint64_t escape_marks(std::uint64_t w) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  const std::uint64_t quote = w ^ (kOnes * '"');
  const std::uint64_t backslash = w ^ (kOnes * '\\');
  return ((w - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) & ~w & kHighs;
}

// Length of the leading plain run of text[0..n), a word at a time where the
// byte order allows.
inline std::size_t plain_run(const char* text, std::size_t n) noexcept {
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= n; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, text + i, 8);
      const std::uint64_t marks = escape_marks(w);
      if (marks != 0) return i + static_cast<std::size_t>(std::countr_zero(marks)) / 8;
    }
  }
  while (i < n && !ends_plain_run(static_cast<unsigned char>(text[i]))) ++i;
  return i;
}

inline std::size_t short_plain_run(const char* text, std::size_t n) noexcept {
  return plain_run(text, n);
}
#endif

}  // namespace kelvane::json::detail
