// JSON string text: the quoted, escaped form of a UTF-8 text.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "json/writer.h"

namespace kelvane::json {
namespace {

// For every byte: 0 when it is copied as it is, else the letter after the
// backslash ('u' for the \u00XX form).
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (std::size_t b = 0; b < 0x20; ++b) table[b] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

constexpr char kHexDigits[] = "0123456789abcdef";

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

inline auto escape_marks16(Bytes16 v) noexcept { return (v < 0x20) | (v == '"') | (v == '\\'); }

// Offset of the first byte needing an escape in p[0..16), or 16.
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

// Length of the leading run of `text` that needs no escape.
std::size_t plain_run(const char* text, std::size_t n) noexcept {
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
#else
constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighs = 0x8080808080808080;

// Marks with its high bit every byte of `w` that needs an escape: below
// 0x20, a quote or a backslash. Borrows can also mark bytes above a marked
// one, never below, so the lowest mark is exact.
inline std::uint64_t escape_marks(std::uint64_t w) noexcept {
  const std::uint64_t quote = w ^ (kOnes * '"');
  const std::uint64_t backslash = w ^ (kOnes * '\\');
  return ((w - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) & ~w & kHighs;
}

inline std::uint64_t load(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// Length of the leading run of `text` that needs no escape, a word at a
// time where the byte order allows.
std::size_t plain_run(const char* text, std::size_t n) noexcept {
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= n; i += 8) {
      const std::uint64_t marks = escape_marks(load(text + i));
      if (marks != 0) return i + static_cast<std::size_t>(std::countr_zero(marks)) / 8;
    }
  }
  while (i < n && kEscapes[static_cast<unsigned char>(text[i])] == 0) ++i;
  return i;
}
#endif

// Short runs and escapes are gathered here and appended in one piece, so a
// text full of escapes does not pay for a string append per escape.
class Staging {
 public:
  // flush() must be called at the end; a destructor could not report
  // running out of memory.
  explicit Staging(std::string& out) noexcept : out_(out) {}
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  void put(char c) {
    if (used_ == kSize) flush();
    buf_[used_++] = c;
  }
  void put(const char* p, std::size_t n) {
    if (n > kSize - used_) {
      flush();
      if (n > kSize / 2) {
        out_.append(p, n);
        return;
      }
    }
    std::memcpy(buf_ + used_, p, n);
    used_ += n;
  }
  void flush() {
    out_.append(buf_, used_);
    used_ = 0;
  }

 private:
  static constexpr std::size_t kSize = 256;
  std::string& out_;
  char buf_[kSize];
  std::size_t used_ = 0;
};

}  // namespace

void Serializer::serialize_str(std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  out_.reserve(out_.size() + n + 2);
  Staging staging(out_);
  staging.put('"');
  std::size_t i = 0;
  while (true) {
    const std::size_t run = plain_run(p + i, n - i);
    staging.put(p + i, run);
    i += run;
    if (i == n) break;
    const auto byte = static_cast<unsigned char>(p[i++]);
    const char letter = kEscapes[byte];
    if (letter == 'u') {
      const char escape[6] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
      staging.put(escape, 6);
    } else {
      const char escape[2] = {'\\', letter};
      staging.put(escape, 2);
    }
  }
  staging.put('"');
  staging.flush();
}

}  // namespace kelvane::json
