// The compact JSON writer: appends JSON text, with no white space of its
// own, to a caller's byte buffer.
//
// Writing to memory cannot fail short of running out of it (which ends the
// process), so the operations return nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/compact_text.h"
#include "json/number_text.h"
#include "json/value.h"

namespace kelvane::json {

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

  // Opens an object. With a member count of zero it is written "{}" at once
  // and end() adds nothing.
  SerializeMap serialize_map(std::optional<std::size_t> members = std::nullopt);

  std::string& output() noexcept { return out_; }

 private:
  std::string& out_;
};

// One object being written, from its "{" to its "}".
class SerializeMap {
 public:
  enum class State : std::uint8_t {
    Empty,  // opened with no members and already closed as "{}"
    First,  // open, no member written yet
    Rest,   // open, at least one member written
  };

  void serialize_entry(std::string_view key, const Value& value);
  void serialize_entry(std::string_view key, std::string_view text);
  void serialize_entry(std::string_view key, std::uint64_t value);
  // The value's compact text, as it stands.
  void serialize_entry(std::string_view key, const CompactText& value);
  // Only the key and its colon: the caller puts the value's text at this
  // point itself (or sends it from where it already is).
  void serialize_key(std::string_view key);
  void end();

  State state() const noexcept { return state_; }

 private:
  friend class Serializer;
  SerializeMap(Serializer& serializer, State state) noexcept
      : serializer_(serializer), state_(state) {}

  Serializer& serializer_;
  State state_;
};

// The compact text of `value` in a new string.
std::string to_json(const Value& value);

}  // namespace kelvane::json
