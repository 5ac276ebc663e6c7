#include "json/writer.h"

#include <array>
#include <vector>

#include "json/output_cursor.h"

namespace kelvane::json {
namespace {

// An array or object whose elements are being written.
struct Frame {
  const void* items;  // Value[] or Member[]
  std::size_t count;
  std::size_t next;
  bool object;
};

// The containers still open while a value is written. Kept off the call
// stack so that a deeply nested value cannot overflow it; the first levels
// need no allocation.
class FrameStack {
 public:
  bool empty() const noexcept { return depth_ == 0; }
  Frame& top() noexcept { return depth_ <= kInline ? inline_[depth_ - 1] : spilled_[depth_ - 1 - kInline]; }
  void push(const Frame& f) {
    if (depth_ < kInline) {
      inline_[depth_] = f;
    } else {
      spilled_.push_back(f);
    }
    ++depth_;
  }
  void pop() noexcept {
    if (depth_ > kInline) spilled_.pop_back();
    --depth_;
  }

 private:
  static constexpr std::size_t kInline = 32;
  std::array<Frame, kInline> inline_;
  std::vector<Frame> spilled_;
  std::size_t depth_ = 0;
};

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

void Serializer::serialize(const Value& root) {
  detail::OutputCursor out(out_);
  FrameStack open;
  // Writes a scalar or an empty container whole; opens any other container.
  auto begin = [&](const Value& v) {
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
        if (v.tag() == Value::Tag::ShortString) {
          detail::write_short_str(out, v.raw_);
        } else {
          detail::write_str(out, v.as_string());
        }
        return;
      case Value::Kind::Array: {
        const std::span<const Value> items = v.as_array();
        if (items.empty()) {
          out.put("[]", 2);
        } else {
          out.put('[');
          open.push({items.data(), items.size(), 0, false});
        }
        return;
      }
      case Value::Kind::Object: {
        const std::span<const Member> members = v.as_object();
        if (members.empty()) {
          out.put("{}", 2);
        } else {
          out.put('{');
          open.push({members.data(), members.size(), 0, true});
        }
        return;
      }
    }
  };

  begin(root);
  while (!open.empty()) {
    Frame& f = open.top();
    if (f.next == f.count) {
      out.put(f.object ? '}' : ']');
      open.pop();
      continue;
    }
    const std::size_t i = f.next++;
    if (i > 0) out.put(',');
    if (f.object) {
      const Member& m = static_cast<const Member*>(f.items)[i];
      if (m.key.tag() == Value::Tag::ShortString) {
        detail::write_short_str(out, m.key.raw_);
      } else {
        detail::write_str(out, m.name());
      }
      out.put(':');
      begin(m.value);  // may push: `f` is not used past this point
    } else {
      begin(static_cast<const Value*>(f.items)[i]);
    }
  }
}

void Serializer::serialize(Number number) {
  detail::OutputCursor out(out_);
  detail::write_number(out, number);
}

void Serializer::serialize_unsigned(std::uint64_t value) { serialize(Number::unsigned64(value)); }

SerializeMap Serializer::serialize_map(std::optional<std::size_t> members) {
  if (members == std::size_t{0}) {
    out_.append("{}", 2);
    return SerializeMap(*this, SerializeMap::State::Empty);
  }
  out_.push_back('{');
  return SerializeMap(*this, SerializeMap::State::First);
}

void SerializeMap::serialize_key(std::string_view key) {
  if (state_ == State::Rest) serializer_.output().push_back(',');
  state_ = State::Rest;
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

void SerializeMap::end() {
  if (state_ != State::Empty) serializer_.output().push_back('}');
}

std::string to_json(const Value& value) {
  std::string out;
  Serializer(out).serialize(value);
  return out;
}

}  // namespace kelvane::json
