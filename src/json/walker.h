// The grammar of JSON values, in one place: the walker goes over one value
// of the input, without recursion, and tells a visitor what it meets. It
// alone knows where values, separators and brackets may stand, which error
// each misplaced byte gives and at which position, and the nesting budget;
// the string and number lexers know their tokens. What differs between
// building a document, writing the canonical text, filling a record and
// skipping a member is in the visitors (build.cc, canonical.cc, record.cc,
// skip.cc, with unexpected.cc describing values that a record does not
// take).
//
// A visitor V provides, for the Read mode:
//
//   Status null_value();
//   Status boolean(bool value);
//   Status number(const NumberToken& token);
//   Status string(const StringToken& token);  // text decoded, or as the
//                                             // visitor's ValueText has it
//   // At "[" or "{", once the nesting budget has allowed it, before it is
//   // consumed.
//   Status open(bool object);
//   // After the closing "]" or "}" has been consumed.
//   Status close(bool object);
//   // An object member's key, before its colon is looked at. Skip has the
//   // member's value skipped (grammar checked, nothing built, no nesting
//   // limit) instead of visited.
//   Result<KeyAction, Error> key(const StringToken& token);
//   // Optional: asked before every element of an array; false ends the
//   // array there, with the end check of a record in array form.
//   bool more();
//
// An error that a visitor returns without a position gets the current one
// (just after what was visited; at an opening bracket, just before it).
// The Skip mode visits nothing.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/input.h"
#include "json/number_lexer.h"
#include "json/string_lexer.h"

namespace kelvane::json::detail {

enum class KeyAction : std::uint8_t { Visit, Skip };

// At most this many arrays and objects may be open at once when reading.
inline constexpr std::size_t kMaxOpen = 127;

// ---- Grammar pieces ---------------------------------------------------------

// After the first letter of null, true or false: the rest must follow.
inline Status literal_rest(Input& in, std::string_view rest) {
  for (const char expected : rest) {
    if (in.at_end()) return fail(in.error(ErrorCode::EofWhileParsingValue));
    const char c = in.data()[in.index()];
    in.eat();
    if (c != expected) return fail(in.error(ErrorCode::ExpectedSomeIdent));
  }
  return {};
}

// After an object key.
inline Status object_colon(Input& in) {
  const int c = in.skip_whitespace();
  if (c == ':') {
    in.eat();
    return {};
  }
  return fail(in.peek_error(c < 0 ? ErrorCode::EofWhileParsingObject : ErrorCode::ExpectedColon));
}

// The checks that end an array or object whose elements a record stopped
// reading: the closing bracket or brace must follow.
inline Status end_seq(Input& in) {
  const int c = in.skip_whitespace();
  if (c == ']') {
    in.eat();
    return {};
  }
  if (c == ',') {
    in.eat();
    const int after = in.skip_whitespace();
    return fail(in.peek_error(after == ']' ? ErrorCode::TrailingComma : ErrorCode::TrailingCharacters));
  }
  return fail(in.peek_error(c < 0 ? ErrorCode::EofWhileParsingList : ErrorCode::TrailingCharacters));
}

inline Status end_map(Input& in) {
  const int c = in.skip_whitespace();
  if (c == '}') {
    in.eat();
    return {};
  }
  if (c == ',') return fail(in.peek_error(ErrorCode::TrailingComma));
  return fail(in.peek_error(c < 0 ? ErrorCode::EofWhileParsingObject : ErrorCode::TrailingCharacters));
}

// After the one value of a whole text: only white space may follow.
inline Status end_of_text(Input& in) {
  if (in.skip_whitespace() >= 0) return fail(in.peek_error(ErrorCode::TrailingCharacters));
  return {};
}

// Skips the one value at the index (white space first); see skip.cc.
Status skip_value(Input& in);

// ---- The walker -----------------------------------------------------------

// The kinds of the open containers, innermost on top: at most kMaxOpen when
// reading; as many as the text has when skipping.
template <Mode M>
class OpenContainers;

template <>
class OpenContainers<Mode::Read> {
 public:
  bool empty() const noexcept { return depth_ == 0; }
  bool full() const noexcept { return depth_ == kMaxOpen; }
  bool object_on_top() const noexcept { return objects_[depth_ - 1]; }
  void push(bool object) noexcept { objects_[depth_++] = object; }
  void pop() noexcept { --depth_; }

 private:
  bool objects_[kMaxOpen];
  std::size_t depth_ = 0;
};

template <>
class OpenContainers<Mode::Skip> {
 public:
  bool empty() const noexcept { return objects_.empty(); }
  bool full() const noexcept { return false; }
  bool object_on_top() const noexcept { return objects_.back() != 0; }
  void push(bool object) { objects_.push_back(object ? 1 : 0); }
  void pop() noexcept { objects_.pop_back(); }

 private:
  std::string objects_;
};

template <class V>
concept StopsArrays = requires(V& v) {
  { v.more() } -> std::same_as<bool>;
};

// The text of string values with escapes, as the visitor wants it (its
// ValueText, see string_sinks.h), or decoded. Keys are always decoded.
template <class V>
struct ValueTextOf {
  using Type = DecodedText;
};
template <class V>
  requires requires { typename V::ValueText; }
struct ValueTextOf<V> {
  using Type = typename V::ValueText;
};
template <class V>
using ValueText = typename ValueTextOf<V>::Type;

// A visitor's result: an error without a position gets the current one.
inline Status visited(Input& in, Status s) {
  if (!s) in.fix_position(s.error());
  return s;
}

// The scalar that starts with `c` at the index (white space skipped).
template <Mode M, class V>
[[gnu::always_inline]] inline Status walk_scalar(Input& in, std::string& scratch, int c, V& v) {
  switch (c) {
    case 'n':
      in.eat();
      if (Status s = literal_rest(in, "ull"); !s) return s;
      if constexpr (M == Mode::Read) return visited(in, v.null_value());
      return {};
    case 't':
      in.eat();
      if (Status s = literal_rest(in, "rue"); !s) return s;
      if constexpr (M == Mode::Read) return visited(in, v.boolean(true));
      return {};
    case 'f':
      in.eat();
      if (Status s = literal_rest(in, "alse"); !s) return s;
      if constexpr (M == Mode::Read) return visited(in, v.boolean(false));
      return {};
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      NumberToken token;
      if (Status s = lex_number<M>(in, token); !s) return s;
      if constexpr (M == Mode::Read) return visited(in, v.number(token));
      return {};
    }
    case '"': {
      in.eat();
      const std::size_t start = in.index();
      if (StringToken plain; lex_plain_string(in, plain)) {
        if constexpr (M == Mode::Read) return visited(in, v.string(plain));
        return {};
      }
      ValueText<V> sink(scratch);
      Result<StringToken, Error> token = lex_string_rest<M>(in, sink, start);
      if (!token) return fail(std::move(token).error());
      if constexpr (M == Mode::Read) return visited(in, v.string(token.value()));
      return {};
    }
    case -1:
      return fail(in.peek_error(ErrorCode::EofWhileParsingValue));
    default:
      return fail(in.peek_error(ErrorCode::ExpectedSomeValue));
  }
}

// Walks the one value at the index (white space first) and stops after it.
template <Mode M, class V>
Status walk(Input& in, std::string& scratch, V& v) {
  OpenContainers<M> open;
  int c = in.skip_whitespace();
  for (;;) {
    // A value starts at `c`.
    bool first = false;  // the container just opened has no element yet
    if (c == '[' || c == '{') {
      const bool object = c == '{';
      if (open.full()) return fail(in.peek_error(ErrorCode::RecursionLimitExceeded));
      if constexpr (M == Mode::Read) {
        if (Status s = visited(in, v.open(object)); !s) return s;
      }
      in.eat();
      open.push(object);
      first = true;
    } else {
      if (Status s = walk_scalar<M>(in, scratch, c, v); !s) return s;
      if (open.empty()) return {};
    }

    // Close what ends here, then find where the next value starts.
    for (;;) {
      const bool object = open.object_on_top();
      const char closing = object ? '}' : ']';
      if constexpr (M == Mode::Read && StopsArrays<V>) {
        if (!object && !v.more()) {
          if (Status s = end_seq(in); !s) return s;
          c = closing;
        } else {
          c = in.skip_whitespace();
          if (c == closing) in.eat();
        }
      } else {
        c = in.skip_whitespace();
        if (c == closing) in.eat();
      }
      if (c == closing) {
        open.pop();
        if constexpr (M == Mode::Read) {
          if (Status s = visited(in, v.close(object)); !s) return s;
        }
        if (open.empty()) return {};
        first = false;
        continue;
      }
      if (c < 0) return fail(in.peek_error(object ? ErrorCode::EofWhileParsingObject : ErrorCode::EofWhileParsingList));
      if (!first) {
        if (c != ',') {
          return fail(in.peek_error(object ? ErrorCode::ExpectedObjectCommaOrEnd : ErrorCode::ExpectedListCommaOrEnd));
        }
        in.eat();
        c = in.skip_whitespace();
        // Skipping has errors of its own here.
        if (c < 0) {
          return fail(in.peek_error(M == Mode::Skip && object ? ErrorCode::EofWhileParsingObject
                                                              : ErrorCode::EofWhileParsingValue));
        }
        if (c == closing) {
          return fail(in.peek_error(M == Mode::Read ? ErrorCode::TrailingComma
                                    : object        ? ErrorCode::KeyMustBeAString
                                                    : ErrorCode::ExpectedSomeValue));
        }
      }
      first = false;
      if (!object) break;

      if (c != '"') return fail(in.peek_error(ErrorCode::KeyMustBeAString));
      in.eat();
      const std::size_t key_start = in.index();
      StringToken key;
      if (!lex_plain_string(in, key)) {
        DecodedText key_text(scratch);
        Result<StringToken, Error> escaped = lex_string_rest<M>(in, key_text, key_start);
        if (!escaped) return fail(std::move(escaped).error());
        key = escaped.value();
      }
      KeyAction action = KeyAction::Visit;
      if constexpr (M == Mode::Read) {
        Result<KeyAction, Error> wanted = v.key(key);
        if (!wanted) {
          in.fix_position(wanted.error());
          return fail(std::move(wanted).error());
        }
        action = wanted.value();
      }
      if (Status s = object_colon(in); !s) return s;
      if (action == KeyAction::Skip) {
        if (Status s = skip_value(in); !s) return s;
        continue;
      }
      c = in.skip_whitespace();
      break;
    }
  }
}

// Reads one whole text with the visitor: one value, then nothing but white
// space.
template <class V>
Status read_whole(std::string_view text, V& v) {
  Input in(text);
  std::string scratch;
  if (Status s = walk<Mode::Read>(in, scratch, v); !s) return s;
  return end_of_text(in);
}

}  // namespace kelvane::json::detail
