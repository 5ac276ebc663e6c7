// Reading a record: a fixed list of text fields in object or array form.
#include "json/record.h"

#include <cassert>
#include <charconv>
#include <cstdint>
#include <utility>

#include "json/deserializer.h"

namespace kelvane::json {

namespace {

using detail::Deserializer;
using detail::Status;

constexpr std::size_t kNoField = static_cast<std::size_t>(-1);

Error missing_field(std::string_view name) {
  std::string text = "missing field `";
  text += name;
  text += '`';
  return Error::message(std::move(text));
}

Error duplicate_field(std::string_view name) {
  std::string text = "duplicate field `";
  text += name;
  text += '`';
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

std::size_t find_field(std::span<const RecordField> fields, std::string_view key) noexcept {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name == key) return i;
  }
  return kNoField;
}

Status read_text(Deserializer& de, std::optional<std::string>& slot) {
  const int c = de.skip_whitespace();
  if (c < 0) return fail(de.peek_error(ErrorCode::EofWhileParsingValue));
  if (c != '"') return fail(de.peek_invalid_type("a string"));
  de.eat();
  Result<std::string_view, Error> text = de.parse_str();
  if (!text) return fail(std::move(text).error());
  slot.emplace(text.value());
  return {};
}

Status read_field(Deserializer& de, FieldKind kind, std::optional<std::string>& slot) {
  if (kind == FieldKind::OptionalText && de.skip_whitespace() == 'n') {
    de.eat();
    slot.reset();
    return de.parse_ident("ull");
  }
  return read_text(de, slot);
}

Status read_object_form(Deserializer& de, const RecordShape& shape, std::span<std::optional<std::string>> slots) {
  std::uint64_t given = 0;  // bit i: field i had a value, null included
  bool first = true;
  for (;;) {
    Result<bool, Error> more = de.next_key(first);
    if (!more) return fail(std::move(more).error());
    if (!more.value()) break;
    de.eat();
    Result<std::string_view, Error> key = de.parse_str();
    if (!key) return fail(std::move(key).error());
    const std::size_t i = find_field(shape.fields, key.value());
    if (i == kNoField) {
      if (Status s = de.parse_object_colon(); !s) return s;
      if (Status s = de.skip_value(); !s) return s;
      continue;
    }
    const std::uint64_t bit = std::uint64_t{1} << i;
    if ((given & bit) != 0) return fail(duplicate_field(shape.fields[i].name));
    if (Status s = de.parse_object_colon(); !s) return s;
    if (Status s = read_field(de, shape.fields[i].kind, slots[i]); !s) return s;
    given |= bit;
  }
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    const bool missing = (given & (std::uint64_t{1} << i)) == 0;
    if (missing && shape.fields[i].kind == FieldKind::Text) return fail(missing_field(shape.fields[i].name));
  }
  return {};
}

// After the last field no further element is looked for; the end check
// reports any.
Status read_array_form(Deserializer& de, const RecordShape& shape, std::span<std::optional<std::string>> slots) {
  bool first = true;
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    Result<bool, Error> more = de.next_element(first);
    if (!more) return fail(std::move(more).error());
    if (!more.value()) return fail(invalid_length(i, shape.length_description));
    if (Status s = read_field(de, shape.fields[i].kind, slots[i]); !s) return s;
  }
  return {};
}

Status read_record_value(Deserializer& de, const RecordShape& shape, std::span<std::optional<std::string>> slots) {
  const int c = de.skip_whitespace();
  if (c < 0) return fail(de.peek_error(ErrorCode::EofWhileParsingValue));
  Status status;
  if (c == '{' || c == '[') {
    if (Status s = de.enter_nesting(); !s) return s;
    de.eat();
    status = c == '{' ? read_object_form(de, shape, slots) : read_array_form(de, shape, slots);
    de.leave_nesting();
    // The end check runs even after a failure: a record error takes its
    // position from where the check stopped.
    Status end = c == '{' ? de.end_map() : de.end_seq();
    if (status && !end) status = std::move(end);
  } else {
    status = fail(de.peek_invalid_type(shape.type_description));
  }
  if (!status) de.fix_position(status.error());
  return status;
}

}  // namespace

Result<void, Error> read_record(std::string_view text, const RecordShape& shape,
                                std::span<std::optional<std::string>> slots) {
  assert(shape.fields.size() <= 64 && slots.size() == shape.fields.size());
  return detail::from_trait(text, [&](Deserializer& de) { return read_record_value(de, shape, slots); });
}

}  // namespace kelvane::json
