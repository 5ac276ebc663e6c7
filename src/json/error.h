// The error of the JSON reader: a kind and the position where it arose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvane::json {

// The kinds, in their fixed order. Message carries free text (the record
// errors).
enum class ErrorCode : std::uint8_t {
  Message,
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  EofWhileParsingValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedSomeIdent,
  ExpectedSomeValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  ControlCharacterWhileParsingString,
  KeyMustBeAString,
  LoneLeadingSurrogateInHexEscape,
  TrailingComma,
  TrailingCharacters,
  UnexpectedEndOfHexEscape,
  RecursionLimitExceeded,
};

// The fixed text of a kind; empty for Message, whose text is its own.
std::string_view error_code_text(ErrorCode code) noexcept;

class Error {
 public:
  // A syntax error with its position (line counts from 1).
  Error(ErrorCode code, std::size_t line, std::size_t column) noexcept
      : code_(code), line_(line), column_(column) {}
  // A record error: free text, no position yet (line 0).
  static Error message(std::string text) {
    Error e(ErrorCode::Message, 0, 0);
    e.message_ = std::move(text);
    return e;
  }

  ErrorCode code() const noexcept { return code_; }
  std::size_t line() const noexcept { return line_; }
  std::size_t column() const noexcept { return column_; }
  bool has_position() const noexcept { return line_ != 0; }
  void set_position(std::size_t line, std::size_t column) noexcept {
    line_ = line;
    column_ = column;
  }
  // True for the four end-of-input kinds.
  bool is_eof() const noexcept;

  // The kind's text, then " at line {} column {}" when there is a position.
  std::string to_string() const;

 private:
  ErrorCode code_;
  std::size_t line_;
  std::size_t column_;
  std::string message_;
};

}  // namespace kelvane::json
