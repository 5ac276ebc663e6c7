// JSON string text: the quoted, escaped form of a UTF-8 text.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "json/plain_run.h"
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

using detail::plain_run;

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
