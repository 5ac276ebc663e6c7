#include "json/deserializer.h"

#include <span>
#include <utility>

#include "json/position.h"
#include "json/reader.h"

namespace kelvane::json {
namespace detail {

Error Deserializer::error(ErrorCode code) const noexcept {
  const Position p = position_of_index({data_, size_}, index_);
  return Error(code, p.line, p.column);
}

Error Deserializer::peek_error(ErrorCode code) const noexcept {
  const Position p = position_of_index({data_, size_}, index_ < size_ ? index_ + 1 : size_);
  return Error(code, p.line, p.column);
}

void Deserializer::fix_position(Error& e) const noexcept {
  if (e.has_position()) return;
  const Position p = position_of_index({data_, size_}, index_);
  e.set_position(p.line, p.column);
}

Status Deserializer::enter_nesting() noexcept {
  if (--depth_budget_ == 0) return fail(peek_error(ErrorCode::RecursionLimitExceeded));
  return {};
}

Status Deserializer::parse_ident(std::string_view rest) {
  for (const char expected : rest) {
    if (index_ == size_) return fail(error(ErrorCode::EofWhileParsingValue));
    if (data_[index_++] != expected) return fail(error(ErrorCode::ExpectedSomeIdent));
  }
  return {};
}

Result<bool, Error> Deserializer::next_element(bool& first) {
  int c = skip_whitespace();
  if (c < 0) return fail(peek_error(ErrorCode::EofWhileParsingList));
  if (c == ']') return false;
  if (!first) {
    if (c != ',') return fail(peek_error(ErrorCode::ExpectedListCommaOrEnd));
    eat();
    c = skip_whitespace();
    if (c < 0) return fail(peek_error(ErrorCode::EofWhileParsingValue));
    if (c == ']') return fail(peek_error(ErrorCode::TrailingComma));
  }
  first = false;
  return true;
}

Result<bool, Error> Deserializer::next_key(bool& first) {
  int c = skip_whitespace();
  if (c < 0) return fail(peek_error(ErrorCode::EofWhileParsingObject));
  if (c == '}') return false;
  if (!first) {
    if (c != ',') return fail(peek_error(ErrorCode::ExpectedObjectCommaOrEnd));
    eat();
    c = skip_whitespace();
    if (c < 0) return fail(peek_error(ErrorCode::EofWhileParsingValue));
    if (c == '}') return fail(peek_error(ErrorCode::TrailingComma));
  }
  first = false;
  if (c != '"') return fail(peek_error(ErrorCode::KeyMustBeAString));
  return true;
}

Status Deserializer::parse_object_colon() {
  const int c = skip_whitespace();
  if (c == ':') {
    eat();
    return {};
  }
  if (c < 0) return fail(peek_error(ErrorCode::EofWhileParsingObject));
  return fail(peek_error(ErrorCode::ExpectedColon));
}

Status Deserializer::end_seq() {
  const int c = skip_whitespace();
  if (c == ']') {
    eat();
    return {};
  }
  if (c == ',') {
    eat();
    const int after = skip_whitespace();
    return fail(peek_error(after == ']' ? ErrorCode::TrailingComma : ErrorCode::TrailingCharacters));
  }
  if (c < 0) return fail(peek_error(ErrorCode::EofWhileParsingList));
  return fail(peek_error(ErrorCode::TrailingCharacters));
}

Status Deserializer::end_map() {
  const int c = skip_whitespace();
  if (c == '}') {
    eat();
    return {};
  }
  if (c == ',') return fail(peek_error(ErrorCode::TrailingComma));
  if (c < 0) return fail(peek_error(ErrorCode::EofWhileParsingObject));
  return fail(peek_error(ErrorCode::TrailingCharacters));
}

Status Deserializer::end() {
  if (skip_whitespace() >= 0) return fail(peek_error(ErrorCode::TrailingCharacters));
  return {};
}

// After the opening quote. Strings without escapes, most of them, are
// taken from the input as they stand.
[[gnu::always_inline]] inline Status Deserializer::parse_string_value(Value& out) {
  const std::size_t start = index_;
  if (std::string_view plain; parse_plain_str(plain)) {
    out.set_string(plain, arena_);
    return {};
  }
  Result<std::string_view, Error> text = parse_str_from(start);
  if (!text) return fail(std::move(text).error());
  out.set_string(text.value(), arena_);
  return {};
}

Status Deserializer::parse_any(Value& out) { return parse_at(skip_whitespace(), out); }

// Inline in the element and member loops, which have looked at the byte
// already: one call less per value.
[[gnu::always_inline]] inline Status Deserializer::parse_at(int c, Value& out) {
  switch (c) {
    case -1:
      return fail(peek_error(ErrorCode::EofWhileParsingValue));
    case 'n':
      eat();
      if (Status s = parse_ident("ull"); !s) return s;
      return {};  // `out` is null already
    case 't':
      eat();
      if (Status s = parse_ident("rue"); !s) return s;
      out.set_boolean(true);
      return {};
    case 'f':
      eat();
      if (Status s = parse_ident("alse"); !s) return s;
      out.set_boolean(false);
      return {};
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      const bool positive = c != '-';
      if (!positive) eat();
      if (Number plain = Number::unsigned64(0); parse_plain_number(positive, plain)) {
        out.set_number(plain);
        return {};
      }
      Result<Number, Error> n = parse_integer(positive);
      if (!n) return fail(std::move(n).error());
      out.set_number(n.value());
      return {};
    }
    case '"':
      eat();
      return parse_string_value(out);
    case '[':
    case '{':
      return parse_container(c, out);
    default:
      return fail(peek_error(ErrorCode::ExpectedSomeValue));
  }
}

// Arrays and objects are read in one loop with their own stack of open
// containers, not by recursion: a document nested a hundred deep would
// otherwise return through more calls than the processor can predict.
//
// The elements (members) of the open containers are read onto the shared
// stacks, innermost on top; a finished container moves its own into one
// block of exactly their number and takes their place on its parent's stack,
// or in its member's slot. An error abandons the whole read, so what is
// left on the stacks is released with the reader. The grammar pieces are
// called at the same points, in the same order, as a recursive reader would
// call them, so every error has the same kind and position.
Status Deserializer::parse_container(int c, Value& out) {
  struct Open {
    std::size_t base;  // where its elements or members start on their stack
    std::size_t slot;  // in an object: the member whose value it is
    bool object;
    bool first;
  };
  Open open[128];  // the nesting budget allows at most 127
  std::size_t depth = 0;
  std::size_t slot = 0;  // for the container about to be opened
  Value built;           // a finished inner container on its way to its parent

  for (;;) {
    // `c` is '[' or '{' at the index: open it.
    if (Status s = enter_nesting(); !s) return s;
    eat();
    const bool object = c == '{';
    open[depth++] = {object ? members_.size() : elements_.size(), slot, object, true};

    // Read the innermost container until a container opens in it (back to
    // the top of the outer loop) or it ends (below).
    for (;;) {
      Open& top = open[depth - 1];
      bool opens = false;
      if (top.object) {
        for (;;) {
          const std::size_t before = index_;
          c = skip_whitespace();
          if (c == '}') break;
          if (!top.first) c = c == ',' ? (eat(), skip_whitespace()) : -1;
          if (c != '"') {
            index_ = before;
            Result<bool, Error> next = next_key(top.first);
            if (!next) return fail(std::move(next).error());
            if (!next.value()) break;
          }
          top.first = false;
          // The member's slot is taken first and its key set where it stands.
          eat();
          slot = members_.size();
          Member& member = members_.emplace_back();
          if (Status s = parse_string_value(member.key); !s) return s;
          if (index_ < size_ && data_[index_] == ':') {
            eat();
          } else if (Status s = parse_object_colon(); !s) {
            return s;
          }
          c = skip_whitespace();
          if (c == '[' || c == '{') {
            opens = true;
            break;
          }
          if (Status s = parse_at(c, member.value); !s) return s;
        }
      } else {
        for (;;) {
          const std::size_t before = index_;
          c = skip_whitespace();
          if (c == ']') break;
          if (!top.first) {
            c = c == ',' ? (eat(), skip_whitespace()) : -1;
            if (c == ']') c = -1;
          }
          if (c < 0) {
            index_ = before;
            Result<bool, Error> next = next_element(top.first);
            if (!next) return fail(std::move(next).error());
            if (!next.value()) break;
            c = peek();
          }
          top.first = false;
          if (c == '[' || c == '{') {
            opens = true;
            break;
          }
          if (Status s = parse_at(c, elements_.emplace_back()); !s) return s;
        }
      }
      if (opens) break;

      // The innermost container ends here.
      leave_nesting();
      if (index_ < size_ && data_[index_] == (top.object ? '}' : ']')) {
        eat();  // where the loops above stop when all is well
      } else if (Status s = top.object ? end_map() : end_seq(); !s) {
        return s;
      }
      const Open done = top;
      --depth;
      Value& target = depth == 0 ? out : built;
      if (done.object) {
        target.set_object(std::span<Member>(members_).subspan(done.base), arena_, outermost());
        members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(done.base), members_.end());
      } else {
        target.set_array(std::span<Value>(elements_).subspan(done.base), arena_, outermost());
        elements_.erase(elements_.begin() + static_cast<std::ptrdiff_t>(done.base), elements_.end());
      }
      if (depth == 0) return {};
      if (open[depth - 1].object) {
        members_[done.slot].value = std::move(built);
      } else {
        elements_.push_back(std::move(built));
      }
    }
  }
}

}  // namespace detail

// The value is read straight into the result, which is returned in place: a
// number read from a short text is never copied.
Result<Value, Error> parse_value(std::string_view text) {
  Result<Value, Error> result{Value()};
  detail::Deserializer de(text);
  detail::Status s = de.parse_any(result.value());
  if (s) s = de.end();
  if (!s) {
    result = fail(std::move(s).error());
  } else if (const Value::Kind kind = result.value().kind();
             kind == Value::Kind::String || kind == Value::Kind::Array || kind == Value::Kind::Object) {
    result.value() = de.adopt(std::move(result.value()));  // before the reader and its memory go
  }
  return result;
}

}  // namespace kelvane::json
