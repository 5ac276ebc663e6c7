// Describing a value that stands where another kind was expected, for the
// "invalid type: {}, expected {}" error of records. Used as a visitor: every
// callback fails with the description of what it was given. A scalar has
// been read by then (the error's position is after it); an array or object
// is named by its opening bracket alone, which is not consumed.
#pragma once

#include <string_view>

#include "json/walker.h"

namespace kelvane::json::detail {

class Unexpected {
 public:
  explicit Unexpected(std::string_view expected) noexcept : expected_(expected) {}

  Status null_value() const;
  Status boolean(bool value) const;
  Status number(const NumberToken& token) const;
  Status string(const StringToken& token) const;
  Status open(bool object) const;

 private:
  Status invalid_type(std::string_view found) const;

  std::string_view expected_;
};

}  // namespace kelvane::json::detail
