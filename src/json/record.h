// Reading one whole JSON text into a record with a fixed list of named text
// fields, in object form (any key order, unknown keys skipped) or array form
// (one element per field, in declaration order).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "json/error.h"
#include "support/result.h"

namespace kelvane::json {

enum class FieldKind : std::uint8_t {
  Text,          // a string; required
  OptionalText,  // a string or null; may be left out
};

struct RecordField {
  std::string_view name;
  FieldKind kind;
};

// A record's field list and the two texts that name it in errors.
struct RecordShape {
  std::span<const RecordField> fields;  // declaration order; at most 64
  std::string_view type_description;    // in "invalid type: {}, expected {}"
  std::string_view length_description;  // in "invalid length {}, expected {}"
};

// Reads `text` (valid UTF-8) as one record of `shape`. On success `slots[i]`
// holds the text of field i, or nothing for an optional field that was absent
// or null. `slots` must have one entry per field.
Result<void, Error> read_record(std::string_view text, const RecordShape& shape,
                                std::span<std::optional<std::string>> slots);

}  // namespace kelvane::json
