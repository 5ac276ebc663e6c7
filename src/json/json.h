// The codec's entry points: reading a whole text into a Value
// (parse_value), into a record of named fields (read_record) or straight
// into its canonical compact text (CompactText), taking one object or array
// apart into the texts of its members (split_object, split_array), and
// writing compact JSON (Serializer, SerializeMap, to_json). The value model
// is in value.h, the reader's error in error.h; everything else is internal
// (see README.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.h"
#include "json/value.h"
#include "support/result.h"

namespace kelvane::json {

// ---- Reading a value ---------------------------------------------------------

// Reads `text` (valid UTF-8) as exactly one JSON value, optionally surrounded
// by JSON white space. Arrays and objects may nest 127 deep. On failure the
// error carries the kind and the line and column where reading stopped.
Result<Value, Error> parse_value(std::string_view text);

// ---- Compact text --------------------------------------------------------------

class CompactText;
namespace detail {
class Input;
// The one value at the Input's index (white space first), read up to its end.
Result<CompactText, Error> read_compact_value(Input& in);
}  // namespace detail

// One JSON value as its canonical compact text: exactly what the writer
// makes of the value (no white space, object members in ascending byte-wise
// key order with the last of a repeated key, every number in the text of
// the representation the reader chose for it, strings escaped only where
// they must be).
//
// The request carries its context this way: a context read from the user's
// text goes to the request line without a tree of values in between.
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

// ---- Records -------------------------------------------------------------------

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

// ---- Taking one object or array apart ------------------------------------------

// Splitting one whole text (valid UTF-8) that is an object or an array into
// the texts of its members or elements, each to be read on its own with
// parse_value or read_record, within a nesting budget of its own. What a
// service reads this way may nest deeper as a whole than the reader takes at
// once: a list of requests, each with a context as deep as the client
// allows.
//
// The whole text's grammar is checked as the reader checks it (brackets
// matched by kind, strings and numbers lexed, nothing but white space
// after), but inside a member or element as when skipping: without a
// nesting limit, and with the skipping walk's errors. Errors are positioned
// in the whole text; a text of another kind is refused with "invalid type:
// ..., expected an object" (or "an array").
struct MemberText {
  std::string key;         // decoded
  std::string_view value;  // the value's text in the whole, without white space around it
};

// The members in the order of the text, a repeated key as often as it comes.
Result<std::vector<MemberText>, Error> split_object(std::string_view text);
// The elements' texts in order.
Result<std::vector<std::string_view>, Error> split_array(std::string_view text);

// ---- Writing -------------------------------------------------------------------

// The compact JSON writer: appends JSON text, with no white space of its
// own, to a caller's byte buffer.
//
// Writing to memory cannot fail short of running out of it (which ends the
// process), so the operations return nothing.
class SerializeMap;

class Serializer {
 public:
  // Appends to `out`, which must outlive the serializer; what is already
  // in it is left alone.
  explicit Serializer(std::string& out) noexcept : out_(out) {}

  // The value's compact text: object members in key order, numbers in the
  // representation they hold, strings escaped.
  void serialize(const Value& value);
  void serialize(Number number);
  // A JSON string: quotes; `"`, `\` and the control characters escaped; every
  // other byte (including UTF-8 sequences, "/" and DEL) copied.
  void serialize_str(std::string_view text);
  void serialize_unsigned(std::uint64_t value);

  // Opens an object, whose members are then written in the order given.
  SerializeMap serialize_map();

  std::string& output() noexcept { return out_; }

 private:
  std::string& out_;
};

// One object being written, from its "{" to its "}": the one object writer
// for code (a request line, a service's listings, records and token
// claims). Members go out in the order they are given, which is the
// canonical order when they are given by ascending key (unsigned
// byte-wise); an object whose keys are not known in order is built as a Map
// and written with to_json.
class SerializeMap {
 public:
  void serialize_entry(std::string_view key, const Value& value);
  void serialize_entry(std::string_view key, std::string_view text);
  void serialize_entry(std::string_view key, std::uint64_t value);
  // The value's compact text, as it stands.
  void serialize_entry(std::string_view key, const CompactText& value);
  // Only the key and its colon: the caller puts the value's text at this
  // point itself (or sends it from where it already is).
  void serialize_key(std::string_view key);
  void end();

 private:
  friend class Serializer;
  explicit SerializeMap(Serializer& serializer) noexcept : serializer_(serializer) {}

  Serializer& serializer_;
  bool first_ = true;  // no member written yet
};

// The compact text of `value` in a new string.
std::string to_json(const Value& value);

}  // namespace kelvane::json
