// Skipping one complete value without building it, for the fields that a
// record does not have. Deeply nested input must not exhaust the call stack,
// so the open brackets are kept on a stack instead of recursing; there is no
// nesting limit here.
//
// A skipped member can be most of a reply line, so skipping runs first as a
// plain scan that only says whether the value is well formed. The scan
// accepts nothing the checked grammar below rejects and ends at the same
// byte; on anything it does not take, the checked grammar goes over the
// value again from its start and gives the error with its exact position.
#include <bit>
#include <cstdint>
#include <cstring>

#include "json/deserializer.h"
#include "json/plain_run.h"

namespace kelvane::json::detail {

namespace {

inline bool is_space(char c) noexcept { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') <= 9; }

// Most tokens follow each other without space; every white-space byte is
// below '!'.
inline std::size_t skip_space(const char* p, std::size_t n, std::size_t i) noexcept {
  if (i < n && static_cast<unsigned char>(p[i]) > ' ') return i;
  while (i < n && is_space(p[i])) ++i;
  return i;
}

#if defined(__GNUC__) && defined(__SSE2__) && !defined(KOA_NO_VECTOR_SCAN)
// A number's digits are mostly one run of up to twenty, so one test of
// sixteen bytes usually finds its end.
inline std::size_t skip_digit_run(const char* p, std::size_t n, std::size_t i) noexcept {
  while (n - i >= 16) {
    const Bytes16 v = load16(p + i) - static_cast<unsigned char>('0');
    const auto marks = v > 9;
    std::uint64_t halves[2];
    std::memcpy(halves, &marks, 16);
    if (halves[0] != 0) return i + static_cast<std::size_t>(std::countr_zero(halves[0])) / 8;
    if (halves[1] != 0) return i + 8 + static_cast<std::size_t>(std::countr_zero(halves[1])) / 8;
    i += 16;
  }
  while (i < n && is_digit(p[i])) ++i;
  return i;
}

#else
inline std::size_t skip_digit_run(const char* p, std::size_t n, std::size_t i) noexcept {
  while (i < n && is_digit(p[i])) ++i;
  return i;
}
#endif

constexpr std::size_t kBad = static_cast<std::size_t>(-1);

// After the opening quote: the offset past the closing quote, or kBad.
inline std::size_t scan_string(const char* p, std::size_t n, std::size_t i) noexcept {
  for (;;) {
    i += short_plain_run(p + i, n - i);
    if (i == n) return kBad;
    const char c = p[i++];
    if (c == '"') return i;
    if (c != '\\' || i == n) return kBad;
    switch (p[i++]) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        break;
      case 'u':
        if (n - i < 4) return kBad;
        for (std::size_t k = 0; k < 4; ++k) {
          const char h = p[i + k];
          if (!is_digit(h) && !((h | 0x20) >= 'a' && (h | 0x20) <= 'f')) return kBad;
        }
        i += 4;
        break;
      default:
        return kBad;
    }
  }
}

// At a minus sign or digit: the offset past the number, or kBad.
inline std::size_t scan_number(const char* p, std::size_t n, std::size_t i) noexcept {
  if (p[i] == '-') ++i;
  if (i == n) return kBad;
  if (p[i] == '0') {
    ++i;
    if (i < n && is_digit(p[i])) return kBad;
  } else if (is_digit(p[i])) {
    i = skip_digit_run(p, n, i + 1);
  } else {
    return kBad;
  }
  if (i < n && p[i] == '.') {
    ++i;
    if (i == n || !is_digit(p[i])) return kBad;
    i = skip_digit_run(p, n, i + 1);
  }
  if (i < n && (p[i] == 'e' || p[i] == 'E')) {
    ++i;
    if (i < n && (p[i] == '+' || p[i] == '-')) ++i;
    if (i == n || !is_digit(p[i])) return kBad;
    i = skip_digit_run(p, n, i + 1);
  }
  return i;
}

// Open brackets, innermost on top; deeper nesting than this is left to the
// checked grammar.
class OpenStack {
 public:
  bool empty() const noexcept { return depth_ == 0; }
  bool push(bool brace) noexcept {
    if (depth_ == kMaxDepth) return false;
    braces_[depth_++] = brace;
    brace_on_top_ = brace;
    return true;
  }
  void pop() noexcept {
    --depth_;
    brace_on_top_ = depth_ != 0 && braces_[depth_ - 1];
  }
  bool brace_on_top() const noexcept { return brace_on_top_; }

 private:
  static constexpr std::size_t kMaxDepth = 4096;
  bool braces_[kMaxDepth];
  std::size_t depth_ = 0;
  bool brace_on_top_ = false;
};

}  // namespace

bool Deserializer::scan_value() noexcept {
  const char* const p = data_;
  const std::size_t n = size_;
  std::size_t i = index_;
  OpenStack open;
  for (;;) {
    // A value starts here.
    i = skip_space(p, n, i);
    if (i == n) return false;
    bool after_value = true;
    // Tested in the order of how often each kind of value comes.
    const char kind = p[i];
    if (kind == '"') {
      i = scan_string(p, n, i + 1);
      if (i == kBad) return false;
    } else if (is_digit(kind) || kind == '-') {
      i = scan_number(p, n, i);
      if (i == kBad) return false;
    } else if (kind == '{' || kind == '[') {
      if (!open.push(kind == '{')) return false;
      ++i;
      after_value = false;
    } else if (kind == 'n' || kind == 't') {
      if (n - i < 4 || std::memcmp(p + i, kind == 'n' ? "null" : "true", 4) != 0) return false;
      i += 4;
    } else if (kind == 'f') {
      if (n - i < 5 || std::memcmp(p + i, "false", 5) != 0) return false;
      i += 5;
    } else {
      return false;
    }

    // Close what the value completed; stop at the separator before the next
    // value, or when the outermost value is complete.
    for (;;) {
      if (open.empty()) {
        index_ = i;
        return true;
      }
      i = skip_space(p, n, i);
      if (i == n) return false;
      const char c = p[i];
      if (c == (open.brace_on_top() ? '}' : ']')) {
        ++i;
        open.pop();
        after_value = true;
        continue;
      }
      if (after_value) {
        if (c != ',') return false;
        ++i;
      }
      break;
    }

    // In an object the next value is preceded by its key and a colon.
    if (open.brace_on_top()) {
      i = skip_space(p, n, i);
      if (i == n || p[i] != '"') return false;
      i = scan_string(p, n, i + 1);
      if (i == kBad) return false;
      i = skip_space(p, n, i);
      if (i == n || p[i] != ':') return false;
      ++i;
    }
  }
}

Status Deserializer::skip_value() {
  const std::size_t start = index_;
  if (scan_value()) return {};
  index_ = start;
  return skip_checked();
}

Status Deserializer::skip_checked() {
  std::string& open = scratch_;  // '[' or '{' for each open bracket
  open.clear();
  for (;;) {
    // A value starts here.
    int c = skip_whitespace();
    Status status;
    bool opened = false;
    switch (c) {
      case -1:
        return fail(peek_error(ErrorCode::EofWhileParsingValue));
      case 'n':
        eat();
        status = parse_ident("ull");
        break;
      case 't':
        eat();
        status = parse_ident("rue");
        break;
      case 'f':
        eat();
        status = parse_ident("alse");
        break;
      case '-':
        eat();
        status = ignore_integer();
        break;
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        status = ignore_integer();
        break;
      case '"':
        eat();
        status = ignore_str();
        break;
      case '[':
      case '{':
        eat();
        open += static_cast<char>(c);
        opened = true;
        break;
      default:
        return fail(peek_error(ErrorCode::ExpectedSomeValue));
    }
    if (!status) return status;

    // Close what the value completed; stop at the separator before the next
    // value, or when the outermost value is complete.
    bool after_value = !opened;
    for (;;) {
      if (open.empty()) return {};
      const char frame = open.back();
      c = skip_whitespace();
      if (c < 0) {
        return fail(peek_error(frame == '[' ? ErrorCode::EofWhileParsingList : ErrorCode::EofWhileParsingObject));
      }
      if ((frame == '[' && c == ']') || (frame == '{' && c == '}')) {
        eat();
        open.pop_back();
        after_value = true;
        continue;
      }
      if (after_value) {
        if (c != ',') {
          return fail(peek_error(frame == '[' ? ErrorCode::ExpectedListCommaOrEnd
                                              : ErrorCode::ExpectedObjectCommaOrEnd));
        }
        eat();
      }
      break;
    }

    // In an object the next value is preceded by its key and a colon.
    if (open.back() == '{') {
      c = skip_whitespace();
      if (c < 0) return fail(peek_error(ErrorCode::EofWhileParsingObject));
      if (c != '"') return fail(peek_error(ErrorCode::KeyMustBeAString));
      eat();
      if (Status s = ignore_str(); !s) return s;
      if (Status s = parse_object_colon(); !s) return s;
    }
  }
}

}  // namespace kelvane::json::detail
