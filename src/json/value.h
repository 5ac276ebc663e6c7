// The in-memory form of a JSON document.
//
// A Value owns its whole subtree and is moved, never copied. It is 16 bytes:
// short strings (up to 14 bytes) live inside it, longer strings, arrays and
// objects in one exactly-sized heap block each, so a large document costs
// little more than its elements. Destroying a value never recurses, however
// deep it is.
//
// A document that parse_value reads has its blocks in one arena instead,
// which its root owns; destroying the root frees the arena's chunks without
// visiting the tree. Only the reader builds such trees (value_internals.h),
// and what the public functions below give a value to hold is always a
// value that owns itself: a tree read as a whole, or one built here.
//
// Every accessor requires its kind: asking a value for another stops the
// program with a message, in every build, rather than read its bytes as
// something they are not.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace kelvane::json {

// Writes "json: a value of one kind read as another (WHAT)" to standard
// error and aborts. Out of line and cold, so that a check costs a compare
// and a branch that is never taken.
[[noreturn, gnu::cold]] void wrong_kind(const char* what) noexcept;

// A JSON number in the representation the reader chose for it.
class Number {
 public:
  enum class Kind : std::uint8_t { Unsigned64, Negative64, Double };

  static constexpr Number unsigned64(std::uint64_t v) noexcept {
    return Number(Kind::Unsigned64, v);
  }
  // Precondition: v < 0.
  static constexpr Number negative64(std::int64_t v) noexcept {
    return Number(Kind::Negative64, static_cast<std::uint64_t>(v));
  }
  // Precondition: v is finite. -0.0 is kept.
  static Number from_double(double v) noexcept {
    return Number(Kind::Double, std::bit_cast<std::uint64_t>(v));
  }

  constexpr Kind kind() const noexcept { return kind_; }
  constexpr std::uint64_t as_unsigned64() const noexcept {
    if (kind_ != Kind::Unsigned64) [[unlikely]]
      wrong_kind("as_unsigned64");
    return bits_;
  }
  constexpr std::int64_t as_negative64() const noexcept {
    if (kind_ != Kind::Negative64) [[unlikely]]
      wrong_kind("as_negative64");
    return static_cast<std::int64_t>(bits_);
  }
  double as_double() const noexcept {
    if (kind_ != Kind::Double) [[unlikely]]
      wrong_kind("as_double");
    return std::bit_cast<double>(bits_);
  }
  // The raw 64 bits of the payload, whatever the kind.
  constexpr std::uint64_t bits() const noexcept { return bits_; }

 private:
  constexpr Number(Kind kind, std::uint64_t bits) noexcept : bits_(bits), kind_(kind) {}
  std::uint64_t bits_;
  Kind kind_;
};

struct Member;

class Value {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

  Value() noexcept = default;  // null
  static Value null() noexcept { return Value(); }
  static Value boolean(bool b) noexcept;
  static Value number(Number n) noexcept;
  // Copies the bytes (UTF-8 text; any byte including NUL may occur).
  static Value string(std::string_view text);
  // Moves the elements out of `elements` (left null) into a new array.
  static Value array(std::span<Value> elements);
  // Moves the members out of `members` into a new object. Keys end up in
  // ascending byte-wise order; of a repeated key only the last value is kept
  // (the earlier ones stay in `members`, the members taken are left null).
  static Value object(std::span<Member> members);

  // Values are moved by their bytes, so moving is cheap and inline; only
  // releasing a block is not.
  Value(Value&& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    std::memset(other.raw_, 0, sizeof other.raw_);
  }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      Value old(std::move(*this));
      std::memcpy(raw_, other.raw_, sizeof raw_);
      std::memset(other.raw_, 0, sizeof other.raw_);
    }
    return *this;
  }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  ~Value() {
    if (raw_[0] >= static_cast<unsigned char>(Tag::LongString) &&
        raw_[1] < static_cast<unsigned char>(Owner::Arena)) {
      release();
    }
  }

  Kind kind() const noexcept;
  bool is_null() const noexcept { return tag() == Tag::Null; }

  // Turn a null value into a boolean or a number where it stands. The reader
  // fills millions of slots this way: a temporary built and then moved in
  // would be read back before its stores have settled, which stalls.
  void set_boolean(bool b) noexcept;
  void set_number(Number n) noexcept;

  // Accessors; each requires the matching kind (see wrong_kind).
  bool as_bool() const noexcept {
    if (tag() != Tag::True && tag() != Tag::False) [[unlikely]]
      wrong_kind("as_bool");
    return tag() == Tag::True;
  }
  Number as_number() const noexcept;
  std::string_view as_string() const noexcept;
  std::span<const Value> as_array() const noexcept;
  std::span<const Member> as_object() const noexcept;

 private:
  enum class Tag : std::uint8_t {
    Null,
    False,
    True,
    Unsigned64,
    Negative64,
    Double,
    ShortString,
    LongString,
    Array,
    Object,
  };
  static constexpr std::size_t kShortCapacity = 14;

  // Who frees the block of a LongString, Array or Object (byte 1).
  enum class Owner : std::uint8_t {
    Heap,            // the value, block by block
    ArenaRoot,       // the value: its block's arena, chunk by chunk
    Arena,           // an arena that some root value owns
    ArenaOutermost,  // the same, with room before the block for the chunks
  };

  // Byte 0: the tag. ShortString: byte 1 the length, bytes 2 to 15 the text,
  // the rest zero. LongString, Array, Object: byte 1 the Owner, bytes 2 to 7
  // the element count (48 bits), bytes 8 to 15 the block. A root array or
  // object has 8 more bytes before its block, which hold its arena's
  // chunks. Numbers: bytes 8 to 15 the payload.
  alignas(8) unsigned char raw_[16] = {};

  // Makes this null value the string `text` held in its own bytes, if it
  // is short enough: the one packer of short strings, for built and read
  // values alike.
  bool set_short_string(std::string_view text) noexcept;

  Tag tag() const noexcept { return static_cast<Tag>(raw_[0]); }
  void set_tag(Tag t) noexcept { raw_[0] = static_cast<unsigned char>(t); }
  std::uint64_t payload() const noexcept;
  void set_payload(std::uint64_t bits) noexcept;
  std::size_t count() const noexcept;
  void set_count(std::size_t n) noexcept;
  void* block() const noexcept;
  void set_block(void* p) noexcept;
  bool has_block() const noexcept;
  void release() noexcept;
  bool owns_block() const noexcept;  // a heap block, freed with the value
  bool owns_arena() const noexcept;  // the chunks of an arena
  Owner owner() const noexcept { return static_cast<Owner>(raw_[1]); }
  void set_owner(Owner o) noexcept { raw_[1] = static_cast<unsigned char>(o); }
  friend struct ValueInternals;  // the one way to these bytes
};

static_assert(sizeof(Value) == 16);

// One entry of an object: a key (a string Value) and its value.
struct Member {
  Value key;
  Value value;

  Member() = default;
  Member(std::string_view name, Value v) : key(Value::string(name)), value(std::move(v)) {}
  Member(Value k, Value v) noexcept : key(std::move(k)), value(std::move(v)) {}
  std::string_view name() const noexcept { return key.as_string(); }
};

// A growable object under construction, its members kept in key order
// (unsigned byte-wise, a proper prefix first); `std::move(map).to_value()`
// turns it into a Value.
class Map {
 public:
  // Inserts the key in order; an existing key keeps its place and gets the
  // new value (the old one is destroyed).
  void insert(std::string_view key, Value value);
  std::span<const Member> entries() const noexcept { return members_; }
  std::size_t size() const noexcept { return members_.size(); }
  Value to_value() &&;

 private:
  std::vector<Member> members_;
};

// Inline: the reader makes one per scalar, and a call returning the value
// through memory makes the next 16-byte move wait for the partial stores.
inline void Value::set_boolean(bool b) noexcept {
  set_tag(b ? Tag::True : Tag::False);
}

inline void Value::set_number(Number n) noexcept {
  switch (n.kind()) {
    case Number::Kind::Unsigned64:
      set_tag(Tag::Unsigned64);
      break;
    case Number::Kind::Negative64:
      set_tag(Tag::Negative64);
      break;
    case Number::Kind::Double:
      set_tag(Tag::Double);
      break;
  }
  set_payload(n.bits());
}

inline Value Value::boolean(bool b) noexcept {
  Value v;
  v.set_boolean(b);
  return v;
}

inline Value Value::number(Number n) noexcept {
  Value v;
  v.set_number(n);
  return v;
}

// The accessors are used once per element by the writer and the reader.
inline Value::Kind Value::kind() const noexcept {
  switch (tag()) {
    case Tag::Null:
      return Kind::Null;
    case Tag::False:
    case Tag::True:
      return Kind::Bool;
    case Tag::Unsigned64:
    case Tag::Negative64:
    case Tag::Double:
      return Kind::Number;
    case Tag::ShortString:
    case Tag::LongString:
      return Kind::String;
    case Tag::Array:
      return Kind::Array;
    case Tag::Object:
      return Kind::Object;
  }
  return Kind::Null;
}

inline Number Value::as_number() const noexcept {
  switch (tag()) {
    case Tag::Unsigned64:
      return Number::unsigned64(payload());
    case Tag::Negative64:
      return Number::negative64(static_cast<std::int64_t>(payload()));
    case Tag::Double:
      return Number::from_double(std::bit_cast<double>(payload()));
    default:
      wrong_kind("as_number");
  }
}

inline std::string_view Value::as_string() const noexcept {
  if (tag() == Tag::ShortString) {
    return {reinterpret_cast<const char*>(raw_ + 2), raw_[1]};
  }
  if (tag() != Tag::LongString) [[unlikely]]
    wrong_kind("as_string");
  return {static_cast<const char*>(block()), count()};
}

inline std::span<const Value> Value::as_array() const noexcept {
  if (tag() != Tag::Array) [[unlikely]]
    wrong_kind("as_array");
  return {static_cast<const Value*>(block()), count()};
}

inline std::span<const Member> Value::as_object() const noexcept {
  if (tag() != Tag::Object) [[unlikely]]
    wrong_kind("as_object");
  return {static_cast<const Member*>(block()), count()};
}

inline bool Value::set_short_string(std::string_view text) noexcept {
  if (text.size() > kShortCapacity) return false;
  set_tag(Tag::ShortString);
  raw_[1] = static_cast<unsigned char>(text.size());
  if (!text.empty()) std::memcpy(raw_ + 2, text.data(), text.size());
  return true;
}

inline std::uint64_t Value::payload() const noexcept {
  std::uint64_t bits;
  std::memcpy(&bits, raw_ + 8, 8);
  return bits;
}

inline void Value::set_payload(std::uint64_t bits) noexcept {
  std::memcpy(raw_ + 8, &bits, 8);
}

inline std::size_t Value::count() const noexcept {
  std::uint64_t n = 0;
  std::memcpy(&n, raw_ + 2, 6);  // little-endian: the low six bytes
  return static_cast<std::size_t>(n);
}

inline void Value::set_count(std::size_t n) noexcept {
  const auto wide = static_cast<std::uint64_t>(n);
  std::memcpy(raw_ + 2, &wide, 6);
}

inline void* Value::block() const noexcept {
  void* p;
  std::memcpy(&p, raw_ + 8, sizeof p);
  return p;
}

inline void Value::set_block(void* p) noexcept {
  std::memcpy(raw_ + 8, &p, sizeof p);
}

}  // namespace kelvane::json
