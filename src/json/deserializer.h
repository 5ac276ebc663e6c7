// The reading state shared by the Value reader, the record reader and the
// skipping of unknown values: the input, the index of the next unread byte,
// the nesting budget and the reusable buffers. One per whole-text read.
//
// Two positions are attached to errors: error() uses the index as it is
// (just after the last byte consumed), peek_error() the index plus one, at
// most the input length (the offending byte, not yet consumed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/arena.h"
#include "json/error.h"
#include "json/value.h"
#include "support/result.h"

namespace kelvane::json::detail {

using Status = Result<void, Error>;

class Deserializer {
 public:
  explicit Deserializer(std::string_view input) noexcept
      : data_(input.data()), size_(input.size()) {}
  Deserializer(const Deserializer&) = delete;
  Deserializer& operator=(const Deserializer&) = delete;

  // --- Cursor ---------------------------------------------------------
  std::size_t index() const noexcept { return index_; }
  // The byte at the index, or -1 at the end of the input.
  int peek() const noexcept { return index_ < size_ ? static_cast<unsigned char>(data_[index_]) : -1; }
  void eat() noexcept { ++index_; }
  // Skips JSON white space; returns the byte then at the index, or -1.
  // Inline: it runs several times per value, and mostly finds no space.
  int skip_whitespace() noexcept {
    std::size_t i = index_;
    while (i < size_) {
      const char c = data_[i];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
        index_ = i;
        return static_cast<unsigned char>(c);
      }
      ++i;
    }
    index_ = i;
    return -1;
  }

  // --- Errors ---------------------------------------------------------
  Error error(ErrorCode code) const noexcept;
  Error peek_error(ErrorCode code) const noexcept;
  // Gives an error that has no position yet the current one.
  void fix_position(Error& e) const noexcept;

  // --- Nesting budget (128 at the start: at most 127 open brackets) ----
  // Called at an opening bracket or brace, before consuming it.
  Status enter_nesting() noexcept;
  void leave_nesting() noexcept { ++depth_budget_; }
  // After leave_nesting: the container just read is the text's top level.
  bool outermost() const noexcept { return depth_budget_ == 128; }

  // --- Grammar pieces -------------------------------------------------
  // After the first letter of null, true or false: the rest must follow.
  Status parse_ident(std::string_view rest);
  // After the opening quote. The text stays valid until the next string is
  // read or a value is skipped: it points into the input or the scratch.
  Result<std::string_view, Error> parse_str();
  // The same for a string without escapes, pointing into the input. False
  // for any other, with the index at the first byte that is not plain text;
  // parse_str_from(the index after the quote) then reads the string.
  bool parse_plain_str(std::string_view& out) noexcept;
  Result<std::string_view, Error> parse_str_from(std::size_t start);
  // After the minus sign for a negative number, at the first digit otherwise.
  Result<Number, Error> parse_integer(bool positive);
  // Before an array element: true when one starts at the index, false at
  // the closing bracket (not consumed). `first` is cleared.
  Result<bool, Error> next_element(bool& first);
  // Before an object entry: true when a key's quote is at the index (not
  // consumed), false at the closing brace (not consumed).
  Result<bool, Error> next_key(bool& first);
  Status parse_object_colon();
  // The checks after an array or object: the closing bracket or brace.
  Status end_seq();
  Status end_map();
  // After the top-level value: nothing but white space may follow.
  Status end();

  // --- Whole values -----------------------------------------------------
  // `out` must be null; it is left null or partly read on failure.
  Status parse_any(Value& out);
  // Makes the value read by parse_any the owner of the memory of its tree.
  Value adopt(Value root) { return Value::adopt(std::move(root), arena_); }
  // Reads one complete value and builds nothing; no nesting limit.
  Status skip_value();
  // The "invalid type: {}, expected {}" error for the value at the index
  // (white space already skipped), or the syntax error met describing it.
  Error peek_invalid_type(std::string_view expected);

 private:
  // parse_any at the byte `c` found at the index after white space.
  Status parse_at(int c, Value& out);
  // The array or object whose bracket `c` is at the index.
  Status parse_container(int c, Value& out);
  // A string, after its opening quote, into `out` (null).
  Status parse_string_value(Value& out);

  // skip_value's two passes: a scan that only says whether the value is
  // well formed (and then moves past it), and the checked grammar.
  bool scan_value() noexcept;
  Status skip_checked();

  void skip_to_escape() noexcept;
  Status parse_escape();
  Status parse_unicode_escape();
  Result<std::uint16_t, Error> decode_hex_escape();
  Status ignore_str();
  Status ignore_escape();

  // The common short forms of a number, at its first digit: false, with
  // nothing consumed, for anything else.
  bool parse_plain_number(bool positive, Number& out) noexcept;
  Result<Number, Error> parse_number(bool positive, std::uint64_t significand);
  Result<double, Error> parse_long_integer(bool positive, std::uint64_t significand);
  Result<double, Error> parse_decimal(bool positive, std::uint64_t significand, std::int64_t exponent);
  Result<double, Error> parse_exponent(bool positive, std::uint64_t significand, std::int64_t exponent);
  Result<double, Error> finish_double(bool positive, std::uint64_t significand, std::int64_t exponent);
  Status ignore_integer();
  Status ignore_decimal();
  Status ignore_exponent();
  // The offset of the first byte at or after `i` that is not an ASCII digit.
  std::size_t skip_digits(std::size_t i) const noexcept {
    while (i < size_ && data_[i] >= '0' && data_[i] <= '9') ++i;
    return i;
  }
  // The ASCII digit value at the index, or -1.
  int peek_digit() const noexcept {
    const int c = peek();
    return c >= '0' && c <= '9' ? c - '0' : -1;
  }

  const char* data_;
  std::size_t size_;
  std::size_t index_ = 0;
  std::uint8_t depth_budget_ = 128;
  // Strings with escapes are assembled here; skip_value keeps its stack of
  // open brackets here.
  std::string scratch_;
  // The blocks of the values read; whatever is not adopted goes with the
  // reader.
  Arena arena_;
  // Elements and members of the arrays and objects being read, innermost on
  // top; each finished container moves its own out into one exact block.
  std::vector<Value> elements_;
  std::vector<Member> members_;
};

// Reads one whole text: `read_target(de)` reads the one value of the target
// type, after which only white space may follow.
template <class ReadTarget>
Status from_trait(std::string_view text, ReadTarget&& read_target) {
  Deserializer de(text);
  if (Status s = read_target(de); !s) return s;
  return de.end();
}

}  // namespace kelvane::json::detail
