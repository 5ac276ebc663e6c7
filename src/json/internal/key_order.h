// The order of an object's members: ascending byte-wise by key (a proper
// prefix first), the last of a repeated key kept. Shared by the value tree
// and the canonical writer, which both meet the members in text order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "json/internal/small_copy.h"

namespace kelvane::json::detail {

// True when `a` sorts before `b`: unsigned byte-wise, a proper prefix first.
inline bool bytes_less(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);  // memcmp compares unsigned
  return c < 0 || (c == 0 && a.size() < b.size());
}

// The first eight bytes of a key as a big-endian word, zeros after a shorter
// key: when two keys' words differ, they order the keys as bytes_less does.
inline std::uint64_t key_prefix(std::string_view key) noexcept {
  char bytes[8] = {};
  move_short(bytes, key.data(), key.size() < 8 ? key.size() : 8);
  std::uint64_t word;
  std::memcpy(&word, bytes, 8);
  return __builtin_bswap64(word);
}

struct KeyRank {
  std::uint64_t prefix;  // key_prefix of the key
  std::size_t position;  // of the member in text order
};

// Objects up to this many members are sorted by insertion.
inline constexpr std::size_t kInsertionSorted = 32;

// `keys` describes the members in text order: keys.size(), keys.prefix(i)
// (key_prefix of key i, or the same word found faster) and keys.less(i, j)
// (bytes_less of keys i and j). Puts the positions of the members to keep
// at the front of `ranks` (which has keys.size() entries), in key order,
// and returns how many there are. The first `sorted` members are known to
// be in order already.
//
// The (prefix, position) pairs are sorted, whole keys compared only when
// the prefixes are equal and positions only when the keys are, so repeats
// stay in text order and the last of each run is the one kept.
template <class Keys>
std::size_t order_keys(const Keys& keys, std::span<KeyRank> ranks, std::size_t sorted) {
  const std::size_t n = keys.size();
  for (std::size_t k = 0; k < n; ++k) ranks[k] = {keys.prefix(k), k};
  const auto before = [&](const KeyRank& a, const KeyRank& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (keys.less(a.position, b.position)) return true;
    if (keys.less(b.position, a.position)) return false;
    return a.position < b.position;
  };
  if (n <= kInsertionSorted) {
    for (std::size_t k = sorted; k < n; ++k) {
      const KeyRank held = ranks[k];
      std::size_t j = k;
      for (; j > 0 && before(held, ranks[j - 1]); --j) ranks[j] = ranks[j - 1];
      ranks[j] = held;
    }
  } else {
    std::sort(ranks.begin(), ranks.begin() + static_cast<std::ptrdiff_t>(n), before);
  }
  // Of each run of equal keys keep the last, which is the latest in the text.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool repeated = i + 1 < n && ranks[i].prefix == ranks[i + 1].prefix &&
                          !keys.less(ranks[i].position, ranks[i + 1].position);
    if (!repeated) ranks[kept++] = ranks[i];
  }
  return kept;
}

// How many leading members are in strictly ascending key order.
template <class Keys>
std::size_t ordered_prefix(const Keys& keys) {
  std::size_t i = 1;
  while (i < keys.size() && keys.less(i - 1, i)) ++i;
  return keys.size() == 0 ? 0 : i;
}

// The plain reference for order_keys: a stable sort of the positions by
// whole keys, then the last of each run of equal keys.
template <class Keys>
std::vector<std::size_t> order_keys_plain(const Keys& keys) {
  std::vector<std::size_t> positions(keys.size());
  for (std::size_t k = 0; k < positions.size(); ++k) positions[k] = k;
  std::stable_sort(positions.begin(), positions.end(),
                   [&](std::size_t a, std::size_t b) { return keys.less(a, b); });
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (i + 1 < positions.size() && !keys.less(positions[i], positions[i + 1])) continue;
    kept.push_back(positions[i]);
  }
  return kept;
}

}  // namespace kelvane::json::detail
