// One JSON value as its canonical compact text: exactly what the writer
// makes of the value (no white space, object members in ascending byte-wise
// key order with the last of a repeated key, every number in the text of
// the representation the reader chose for it, strings escaped only where
// they must be).
//
// The request carries its context this way: a context read from the user's
// text goes to the request line without a tree of values in between.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/error.h"
#include "json/value.h"
#include "support/result.h"

namespace kelvane::json {

class CompactText;
namespace detail {
class Input;
// The one value at the Input's index (white space first), read up to its end.
Result<CompactText, Error> read_compact_value(Input& in);
}  // namespace detail

class CompactText {
 public:
  // The compact text of a built value. Not explicit, so that a Value can be
  // put wherever compact text is kept.
  CompactText(const Value& value);  // NOLINT(google-explicit-constructor)

  // Reads `text` (valid UTF-8) as one whole JSON text, with exactly the
  // errors of parse_value, and writes its compact form as it goes: only the
  // members of the objects still open are remembered, to be put in order.
  static Result<CompactText, Error> read(std::string_view text);
  // The same for the text from `start` on in `buffer`, writing over the
  // buffer itself where it can (its content is lost either way), so that a
  // large text costs no second buffer of its size. Bytes left free in front
  // of the text let the compact form run ahead of it for a while (a double's
  // text can be longer than its literal) before it needs a buffer of its own.
  static Result<CompactText, Error> read_in_place(std::string&& buffer, std::size_t start = 0);
  // Room worth leaving in front of a text that is to be read in place.
  static constexpr std::size_t kHeadroom = 4096;

  std::string_view text() const noexcept { return text_; }

 private:
  explicit CompactText(std::string text) noexcept : text_(std::move(text)) {}
  friend Result<CompactText, Error> detail::read_compact_value(detail::Input& in);

  std::string text_;
};

}  // namespace kelvane::json
