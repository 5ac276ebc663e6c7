// Copying the few bytes of a token. A call to memmove costs more than
// copying them; here up to thirty-two bytes are loaded, in two pieces that
// may overlap each other, before anything is stored, so the source and the
// destination may overlap in either direction.
#pragma once

#include <cstdint>
#include <cstring>

namespace kelvane::json::detail {

template <std::size_t N>
[[gnu::always_inline]] inline void move_ends(char* to, const char* from, std::size_t n) noexcept {
  unsigned char head[N];
  unsigned char tail[N];
  std::memcpy(head, from, N);
  std::memcpy(tail, from + n - N, N);
  std::memcpy(to, head, N);
  std::memcpy(to + n - N, tail, N);
}

// At most sixteen bytes.
[[gnu::always_inline]] inline void move_short(char* to, const char* from, std::size_t n) noexcept {
  if (n >= 8) {
    move_ends<8>(to, from, n);
  } else if (n >= 4) {
    move_ends<4>(to, from, n);
  } else if (n > 0) {
    const char first = from[0];
    const char middle = from[n / 2];
    const char last = from[n - 1];
    to[0] = first;
    to[n / 2] = middle;
    to[n - 1] = last;
  }
}

// At most thirty-two bytes.
[[gnu::always_inline]] inline void move_up_to_32(char* to, const char* from,
                                                 std::size_t n) noexcept {
  if (n > 16) {
    move_ends<16>(to, from, n);
  } else {
    move_short(to, from, n);
  }
}

[[gnu::always_inline]] inline void move_bytes(char* to, const char* from, std::size_t n) noexcept {
  if (n > 32) {
    std::memmove(to, from, n);
  } else {
    move_up_to_32(to, from, n);
  }
}

}  // namespace kelvane::json::detail
