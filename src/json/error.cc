#include "json/error.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "json/internal/input.h"

namespace kelvane::json {

std::string_view error_code_text(ErrorCode code) noexcept {
  static constexpr std::array<std::string_view, 20> kTexts = {
      "",
      "EOF while parsing a list",
      "EOF while parsing an object",
      "EOF while parsing a string",
      "EOF while parsing a value",
      "expected `:`",
      "expected `,` or `]`",
      "expected `,` or `}`",
      "expected ident",
      "expected value",
      "invalid escape",
      "invalid number",
      "number out of range",
      "control character (\\u0000-\\u001F) found while parsing a string",
      "key must be a string",
      "lone leading surrogate in hex escape",
      "trailing comma",
      "trailing characters",
      "unexpected end of hex escape",
      "recursion limit exceeded",
  };
  static_assert(kTexts.size() == static_cast<std::size_t>(ErrorCode::RecursionLimitExceeded) + 1);
  return kTexts[static_cast<std::size_t>(code)];
}

bool Error::is_eof() const noexcept {
  switch (code_) {
    case ErrorCode::EofWhileParsingList:
    case ErrorCode::EofWhileParsingObject:
    case ErrorCode::EofWhileParsingString:
    case ErrorCode::EofWhileParsingValue:
      return true;
    default:
      return false;
  }
}

namespace {
void append_decimal(std::string& out, std::size_t n) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
  out.append(digits, end);
}
}  // namespace

std::string Error::to_string() const {
  std::string out;
  if (code_ == ErrorCode::Message) {
    out = message_;
  } else {
    out = error_code_text(code_);
  }
  if (line_ != 0) {
    out += " at line ";
    append_decimal(out, line_);
    out += " column ";
    append_decimal(out, column_);
  }
  return out;
}

namespace detail {

Position position_of_index(std::string_view text, std::size_t index) noexcept {
  const std::string_view before = text.substr(0, index);
  const std::size_t last_lf = before.rfind('\n');
  if (last_lf == std::string_view::npos) return {1, before.size()};
  const auto lines =
      std::count(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(last_lf) + 1, '\n');
  return {1 + static_cast<std::size_t>(lines), before.size() - last_lf - 1};
}

}  // namespace detail

}  // namespace kelvane::json
