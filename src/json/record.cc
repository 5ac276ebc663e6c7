// Filling a record: the visitor that takes the fields of a fixed list of
// text fields from one object (any key order, unknown keys skipped) or one
// array (one element per field, in declaration order).
#include "json/record.h"

#include <cassert>
#include <charconv>
#include <cstdint>
#include <utility>

#include "json/unexpected.h"
#include "json/walker.h"

namespace kelvane::json {

namespace {

using detail::Input;
using detail::KeyAction;
using detail::NumberToken;
using detail::Status;
using detail::StringToken;

constexpr std::size_t kNoField = static_cast<std::size_t>(-1);

Error field_error(std::string_view what, std::string_view name) {
  std::string text(what);
  text.append(" `").append(name) += '`';
  return Error::message(std::move(text));
}

Error invalid_length(std::size_t count, std::string_view expected) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, count);
  std::string text = "invalid length ";
  text.append(digits, end);
  text += ", expected ";
  text += expected;
  return Error::message(std::move(text));
}

class RecordFiller {
 public:
  RecordFiller(Input& in, const RecordShape& shape,
               std::span<std::optional<std::string>> slots) noexcept
      : in_(in), shape_(shape), slots_(slots) {}

  // The record itself is the one array or object at the top; inside it only
  // the values of fields are visited, and they must be texts.
  Status open(bool object) {
    if (inside_) return field_type().open(object);
    inside_ = true;
    object_form_ = object;
    return {};
  }

  Status close(bool) {
    if (!object_form_) {
      if (count_ < shape_.fields.size())
        return fail(invalid_length(count_, shape_.length_description));
      return {};
    }
    for (std::size_t i = 0; i < shape_.fields.size(); ++i) {
      const bool missing = (given_ & (std::uint64_t{1} << i)) == 0;
      if (missing && shape_.fields[i].kind == FieldKind::Text) {
        return fail(field_error("missing field", shape_.fields[i].name));
      }
    }
    return {};
  }

  Result<KeyAction, Error> key(const StringToken& token) {
    field_ = find_field(token.text);
    if (field_ == kNoField) return KeyAction::Skip;
    if ((given_ & (std::uint64_t{1} << field_)) != 0) {
      // A record error takes its position from where the end check of the
      // record stops.
      Error e = field_error("duplicate field", shape_.fields[field_].name);
      (void)detail::end_map(in_);
      in_.fix_position(e);
      return fail(std::move(e));
    }
    return KeyAction::Visit;
  }

  // After the last field of the array form no further element is looked for.
  bool more() const noexcept { return count_ < shape_.fields.size(); }

  Status string(const StringToken& token) {
    if (!inside_) return record_type().string(token);
    slots_[take_field()].emplace(token.text);
    return {};
  }

  Status null_value() {
    if (!inside_) return record_type().null_value();
    const std::size_t i = take_field();
    if (shape_.fields[i].kind != FieldKind::OptionalText) return field_type().null_value();
    slots_[i].reset();
    return {};
  }

  Status boolean(bool value) {
    return inside_ ? field_type().boolean(value) : record_type().boolean(value);
  }
  Status number(const NumberToken& token) {
    return inside_ ? field_type().number(token) : record_type().number(token);
  }

 private:
  detail::Unexpected record_type() const noexcept {
    return detail::Unexpected(shape_.type_description);
  }
  static detail::Unexpected field_type() noexcept { return detail::Unexpected("a string"); }

  std::size_t find_field(std::string_view key) const noexcept {
    for (std::size_t i = 0; i < shape_.fields.size(); ++i) {
      if (shape_.fields[i].name == key) return i;
    }
    return kNoField;
  }

  // The field whose value is being visited, now given (null included).
  std::size_t take_field() noexcept {
    const std::size_t i = object_form_ ? field_ : count_++;
    given_ |= std::uint64_t{1} << i;
    return i;
  }

  Input& in_;
  const RecordShape& shape_;
  std::span<std::optional<std::string>> slots_;
  bool inside_ = false;
  bool object_form_ = false;
  std::size_t field_ = kNoField;  // object form: the field of the last key
  std::size_t count_ = 0;         // array form: the fields read
  std::uint64_t given_ = 0;       // bit i: field i had a value
};

}  // namespace

Result<void, Error> read_record(std::string_view text, const RecordShape& shape,
                                std::span<std::optional<std::string>> slots) {
  assert(shape.fields.size() <= 64 && slots.size() == shape.fields.size());
  Input in(text);
  std::string scratch;
  RecordFiller filler(in, shape, slots);
  if (Status s = detail::walk<detail::Mode::Read>(in, scratch, filler); !s) return s;
  return detail::end_of_text(in);
}

}  // namespace kelvane::json
