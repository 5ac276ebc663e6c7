// Reading one whole JSON text into a record: a fixed list of named fields,
// each bound to where its value goes, in object form (any key order) or, if
// the record allows it, array form (one element per field, in declaration
// order).
//
//   std::optional<std::uint64_t> timeout;
//   std::optional<json::Value> context;
//   const json::Field fields[] = {
//       json::Field::text("title", request.title),
//       json::Field::value("context", context),
//       json::Field::unsigned64("timeoutSecs", timeout),
//   };
//   auto read = json::read_record(line, {.fields = fields,
//                                        .type_description = "the request",
//                                        .unknown = json::UnknownMembers::Refuse});
//
// A field is found by its name and its value goes straight to the place it
// was bound to: there is no index to keep in step with the list.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "json/compact_text.h"
#include "json/error.h"
#include "json/value.h"
#include "support/result.h"

namespace kelvane::json {

enum class Presence : std::uint8_t { Required, Optional };

// One field of a record and where its value goes. Only the factories make
// one, so the kind of value always matches the place it is written to.
class Field {
 public:
  enum class Kind : std::uint8_t {
    Text,          // a string, into a std::string
    OptionalText,  // a string, into a std::optional<std::string>
    TextOrNull,    // a string, or null for absent
    Unsigned64,    // an integer from 0 to 2^64 - 1
    AnyValue,      // any JSON value (null included), as a Value
    AnyCompact,    // any JSON value (null included), as its compact text
  };

  // A string; `to` is left as it was when an optional field is absent.
  static Field text(std::string_view name, std::string& to,
                    Presence presence = Presence::Required) noexcept {
    return {name, Kind::Text, presence, &to};
  }
  // A string that may be absent (then nothing).
  static Field text(std::string_view name, std::optional<std::string>& to) noexcept {
    return {name, Kind::OptionalText, Presence::Optional, &to};
  }
  // A string or null that may be absent (null and absent are both nothing).
  static Field text_or_null(std::string_view name, std::optional<std::string>& to) noexcept {
    return {name, Kind::TextOrNull, Presence::Optional, &to};
  }
  // Any integer from 0 to 2^64 - 1 (a negative one or a fraction is refused);
  // nothing when absent.
  static Field unsigned64(std::string_view name, std::optional<std::uint64_t>& to) noexcept {
    return {name, Kind::Unsigned64, Presence::Optional, &to};
  }
  // Any value, nesting at most 127 levels within the field; nothing when
  // absent, a null Value when null.
  static Field value(std::string_view name, std::optional<Value>& to) noexcept {
    return {name, Kind::AnyValue, Presence::Optional, &to};
  }
  // The same as its canonical compact text, without a tree in between.
  static Field compact_text(std::string_view name, std::optional<CompactText>& to) noexcept {
    return {name, Kind::AnyCompact, Presence::Optional, &to};
  }

  std::string_view name() const noexcept { return name_; }
  Kind kind() const noexcept { return kind_; }
  Presence presence() const noexcept { return presence_; }
  void* destination() const noexcept { return to_; }

 private:
  Field(std::string_view name, Kind kind, Presence presence, void* to) noexcept
      : name_(name), kind_(kind), presence_(presence), to_(to) {}

  std::string_view name_;
  Kind kind_;
  Presence presence_;
  void* to_;
};

// What happens to a member whose key names no field.
enum class UnknownMembers : std::uint8_t { Skip, Refuse };

// A record's fields and how it is read.
struct RecordShape {
  std::span<const Field> fields;  // declaration order; at most 64
  // Names the record in "invalid type: {}, expected {}".
  std::string_view type_description;
  // Names the array form in "invalid length {}, expected {}"; empty when the
  // record is only read from an object.
  std::string_view length_description = {};
  UnknownMembers unknown = UnknownMembers::Skip;
};

// Why a record was not read.
enum class RecordProblem : std::uint8_t {
  Syntax,           // the text is not JSON (where the record's own grammar fails)
  NotARecord,       // the text is a value of another kind
  UnknownMember,    // a key that names no field, when they are refused
  DuplicateMember,  // a field given twice (keys compared decoded)
  MissingMember,    // a required field not given
  WrongType,        // a field's value of another kind, or out of its range
  BadValue,         // an "any value" field whose value does not read
  Length,           // array form: fewer elements than fields
};

struct RecordError {
  RecordProblem problem;
  // The error as the reader words it. Positioned in the whole text, but for
  // BadValue: then it is the value's own error, positioned from the first
  // byte of the value (line 1, column 0).
  Error error;
  // The member's key as decoded (UnknownMember) or the field's name
  // (DuplicateMember, MissingMember, WrongType, BadValue); otherwise empty.
  std::string member;
  // The byte of the text where reading stopped: for Syntax, the offending
  // byte (or the end of the text).
  std::size_t offset;
};

// Reads `text` (valid UTF-8) as one record of `shape`, writing each field's
// value where it was bound. On failure the places may hold some of the
// fields already read.
Result<void, RecordError> read_record(std::string_view text, const RecordShape& shape);

}  // namespace kelvane::json
