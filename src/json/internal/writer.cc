#include "json/json.h"

#include "json/internal/frame_stack.h"
#include "json/internal/number_text.h"
#include "json/internal/output_cursor.h"
#include "json/internal/value_internals.h"

namespace kelvane::json {
namespace {

// An array or object whose elements are being written.
struct Frame {
  const void* items;  // Value[] or Member[]
  std::size_t count;
  std::size_t next;
  bool object;
};

// The containers still open while a value is written; the first levels
// need no allocation.
using FrameStack = detail::FrameStack<Frame, 32>;

}  // namespace

namespace detail {

void write_number(OutputCursor& out, Number number) {
  char* text = out.room(kMaxDoubleText > kMaxIntegerText ? kMaxDoubleText : kMaxIntegerText);
  switch (number.kind()) {
    case Number::Kind::Unsigned64:
      out.advance(unsigned_text(number.as_unsigned64(), text));
      return;
    case Number::Kind::Negative64:
      out.advance(negative_text(number.as_negative64(), text));
      return;
    case Number::Kind::Double:
      out.advance(double_text(number.as_double(), text));
      return;
  }
}

}  // namespace detail

namespace {

// A scalar, or an empty array or object, written whole.
[[gnu::always_inline]] inline void write_leaf(detail::OutputCursor& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
      out.put("null", 4);
      return;
    case Value::Kind::Bool:
      if (v.as_bool()) {
        out.put("true", 4);
      } else {
        out.put("false", 5);
      }
      return;
    case Value::Kind::Number:
      detail::write_number(out, v.as_number());
      return;
    case Value::Kind::String:
      detail::write_str(out, v.as_string());
      return;
    case Value::Kind::Array:
      out.put("[]", 2);
      return;
    case Value::Kind::Object:
      out.put("{}", 2);
      return;
  }
}

// True for an array or object with something in it, which gets a frame.
bool opens(const Value& v) noexcept {
  const Value::Kind k = v.kind();
  return (k == Value::Kind::Array && !v.as_array().empty()) ||
         (k == Value::Kind::Object && !v.as_object().empty());
}

}  // namespace

// The elements of the innermost open container are written in a loop of
// their own until one of them opens a container; a short string, as a key
// or a value, is written from the value's own bytes.
void Serializer::serialize(const Value& root) {
  detail::OutputCursor out(out_);
  FrameStack open;
  auto push = [&](const Value& v) {
    if (v.kind() == Value::Kind::Array) {
      out.put('[');
      open.push({v.as_array().data(), v.as_array().size(), 0, false});
    } else {
      out.put('{');
      open.push({v.as_object().data(), v.as_object().size(), 0, true});
    }
  };
  // Keys too: a short string from the value's own bytes.
  auto write_value = [&](const Value& v) __attribute__((always_inline)) {
    if (const unsigned char* bytes = ValueInternals::short_string(v)) {
      detail::write_short_str(out, bytes);
    } else {
      write_leaf(out, v);
    }
  };

  if (!opens(root)) {
    write_value(root);
    return;
  }
  push(root);
  while (!open.empty()) {
    Frame& f = open.top();
    const Value* inner = nullptr;  // a container to open next
    if (f.object) {
      const auto* members = static_cast<const Member*>(f.items);
      while (f.next < f.count) {
        const Member& m = members[f.next];
        if (f.next++ > 0) out.put(',');
        write_value(m.key);
        out.put(':');
        if (opens(m.value)) {
          inner = &m.value;
          break;
        }
        write_value(m.value);
      }
    } else {
      const auto* values = static_cast<const Value*>(f.items);
      while (f.next < f.count) {
        const Value& v = values[f.next];
        if (f.next++ > 0) out.put(',');
        if (opens(v)) {
          inner = &v;
          break;
        }
        write_value(v);
      }
    }
    if (inner != nullptr) {
      push(*inner);  // may move the frames: `f` is not used past this point
      continue;
    }
    out.put(f.object ? '}' : ']');
    open.pop();
  }
}

void Serializer::serialize(Number number) {
  detail::OutputCursor out(out_);
  detail::write_number(out, number);
}

void Serializer::serialize_unsigned(std::uint64_t value) {
  serialize(Number::unsigned64(value));
}

SerializeMap Serializer::serialize_map() {
  out_.push_back('{');
  return SerializeMap(*this);
}

void SerializeMap::serialize_key(std::string_view key) {
  if (!first_) serializer_.output().push_back(',');
  first_ = false;
  serializer_.serialize_str(key);
  serializer_.output().push_back(':');
}

void SerializeMap::serialize_entry(std::string_view key, const Value& value) {
  serialize_key(key);
  serializer_.serialize(value);
}

void SerializeMap::serialize_entry(std::string_view key, std::string_view text) {
  serialize_key(key);
  serializer_.serialize_str(text);
}

void SerializeMap::serialize_entry(std::string_view key, std::uint64_t value) {
  serialize_key(key);
  serializer_.serialize_unsigned(value);
}

void SerializeMap::serialize_entry(std::string_view key, const CompactText& value) {
  serialize_key(key);
  serializer_.output().append(value.text());
}

void SerializeMap::end() {
  serializer_.output().push_back('}');
}

std::string to_json(const Value& value) {
  std::string out;
  Serializer(out).serialize(value);
  return out;
}

}  // namespace kelvane::json
