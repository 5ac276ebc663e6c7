// The grammar of JSON values, in one place: the walker goes over one value
// of the input, without recursion, and tells a visitor what it meets. It
// alone knows where values, separators and brackets may stand, which error
// each misplaced byte gives and at which position, and the nesting budget;
// the string and number lexers know their tokens. What differs between
// building a document, writing the canonical text, filling a record and
// skipping a member is in the visitors (build.cc, canonical.cc, record.cc,
// where the skipping and the description of values that a record does not
// take are too).
//
// A visitor V provides, for the Read mode:
//
//   Status null_value();
//   Status boolean(bool value);
//   Status number(const NumberToken& token);
//   Status string(const StringToken& token);  // text decoded, or as the
//                                             // visitor's ValueText has it
//   // At "[" or "{", once the nesting budget has allowed it, before it is
//   // consumed; `mark` is kept in the container's frame (see OpenFrame).
//   Status open(bool object, std::size_t& mark);
//   // After the closing "]" or "}" has been consumed and its frame popped.
//   Status close(bool object, std::size_t mark);
//   // Optional: the stack of open containers, when the visitor owns it.
//   OpenFrames& frames();
//   // An object member's key, before its colon is looked at. Skip has the
//   // member's value skipped (grammar checked, nothing built, no nesting
//   // limit) instead of visited; Take has it handed to take() below.
//   Result<KeyAction, Error> key(const StringToken& token);
//   // Optional: asked before every element of an array; End ends the
//   // array there, with the end check of a record in array form, Take hands
//   // the element to take().
//   Element next_element();
//   // With Take: reads the one value at the Input's index (white space
//   // first) itself and leaves the index just after it.
//   Status take(Input& in);
//
// An error that a visitor returns without a position gets the current one
// (just after what was visited; at an opening bracket, just before it).
// The Skip mode visits nothing.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "json/internal/frame_stack.h"
#include "json/internal/input.h"
#include "json/internal/number_lexer.h"
#include "json/internal/string_lexer.h"

namespace kelvane::json::detail {

enum class KeyAction : std::uint8_t { Visit, Skip, Take };
enum class Element : std::uint8_t { Visit, Take, End };

// At most this many arrays and objects may be open at once when reading.
inline constexpr std::size_t kMaxOpen = 127;

// ---- Grammar pieces ---------------------------------------------------------

// After the first letter of null, true or false: the rest must follow.
// Checked byte by byte, for the position of the first that does not; the
// walker compares the whole rest at once before it comes here.
inline Status literal_rest(Input& in, std::string_view rest) {
  for (const char expected : rest) {
    if (in.at_end()) return fail(in.error(ErrorCode::EofWhileParsingValue));
    const char c = in.data()[in.index()];
    in.eat();
    if (c != expected) return fail(in.error(ErrorCode::ExpectedSomeIdent));
  }
  return {};
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
    return fail(
        in.peek_error(after == ']' ? ErrorCode::TrailingComma : ErrorCode::TrailingCharacters));
  }
  return fail(
      in.peek_error(c < 0 ? ErrorCode::EofWhileParsingList : ErrorCode::TrailingCharacters));
}

inline Status end_map(Input& in) {
  const int c = in.skip_whitespace();
  if (c == '}') {
    in.eat();
    return {};
  }
  if (c == ',') return fail(in.peek_error(ErrorCode::TrailingComma));
  return fail(
      in.peek_error(c < 0 ? ErrorCode::EofWhileParsingObject : ErrorCode::TrailingCharacters));
}

// After the one value of a whole text: only white space may follow.
inline Status end_of_text(Input& in) {
  if (in.skip_whitespace() >= 0) return fail(in.peek_error(ErrorCode::TrailingCharacters));
  return {};
}

// Skips the one value at the index (white space first); see record.cc.
Status skip_value(Input& in);

// Reads the one value at the index (white space first) into `out` (null
// before); see build.cc.
Status build_value(Input& in, Value& out);

// ---- The walker -----------------------------------------------------------

// The open containers when reading, innermost on top, at most kMaxOpen: one
// stack that the visitors share with the walker. Each frame holds the
// container's kind and the visitor's mark for it (where its elements start
// on the visitor's own stacks), set by the visitor's open() and handed back
// to its close(). A visitor that has marks to keep owns the stack and
// offers it as frames(); the others leave it to the walker.
struct OpenFrame {
  std::size_t mark;
  bool object;
};
using OpenFrames = FrameStack<OpenFrame, kMaxOpen, Depth::Bounded>;

template <class V>
concept SharesFrames = requires(V& v) {
  { v.frames() } -> std::same_as<OpenFrames&>;
};

// The kinds of the open containers when skipping, as many as the text has.
// The kind of the innermost is kept apart, as it is asked for between every
// two values, and the rest one byte each.
class SkipFrames {
 public:
  bool empty() const noexcept { return depth_ == 0; }
  bool object_on_top() const noexcept { return object_on_top_; }
  void push(bool object) {
    if (depth_++ != 0) below_.push_back(object_on_top_ ? 1 : 0);
    object_on_top_ = object;
  }
  void pop() noexcept {
    if (--depth_ == 0) return;
    object_on_top_ = below_.back() != 0;
    below_.pop_back();
  }

 private:
  std::size_t depth_ = 0;
  bool object_on_top_ = false;
  std::string below_;
};

// A visitor that may stop arrays and take values whole (a record's).
template <class V>
concept TakesValues = requires(V& v, Input& in) {
  { v.next_element() } -> std::same_as<Element>;
  { v.take(in) } -> std::same_as<Status>;
};

// The text of string values with escapes, as the visitor wants it (its
// ValueText, see string_sinks.h), or decoded. Keys are always decoded.
template <class V>
struct ValueTextOf {
  using Type = DecodedText;
};
template <class V>
requires requires {
  typename V::ValueText;
}
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

// The walker's own copy of the index, kept in a register between the calls
// that work on the Input (the lexers, the visitors, errors): it is handed
// back to the Input before each of them and taken again after.
struct Cursor {
  const char* p;
  std::size_t n;
  std::size_t i;

  Input& sync(Input& in) const noexcept {
    in.set_index(i);
    return in;
  }

  [[gnu::always_inline]] int skip_whitespace() noexcept {
    if (i<n&& static_cast<unsigned char>(p[i])> ' ') return static_cast<unsigned char>(p[i]);
    while (i < n && (p[i] == ' ' || p[i] == '\n' || p[i] == '\t' || p[i] == '\r')) ++i;
    return i < n ? static_cast<unsigned char>(p[i]) : -1;
  }
};

// Skipping the rest of a string from `stop`, where its leading run of plain
// text ended: where it ends (past the closing quote), or where its error is
// positioned. Out of line, with everything by value, so that the walker's
// cursor stays in registers.
struct SkippedString {
  std::size_t index;
  ErrorCode error;
  bool ok;
};
SkippedString skip_string_rest(const char* p, std::size_t n, std::size_t stop) noexcept;

// A string from its first byte after the opening quote (at.i), for values
// and keys alike. Most have no escape and are found by one scan for the
// closing quote, taken on the cursor; the rest goes to the lexers, with a
// `Sink` over `scratch` for the resolved text when reading. `token` is set
// when reading; the cursor is current on return.
template <Mode M, class Sink>
[[gnu::always_inline]] inline Status walk_string(Input& in, Cursor& at, std::string& scratch,
                                                 StringToken& token) {
  const std::size_t start = at.i;
  const std::size_t end = start + short_plain_run(at.p + start, at.n - start);
  if (end < at.n && at.p[end] == '"') {
    at.i = end + 1;
    token = {{at.p + start, end - start}, true};
    return {};
  }
  if constexpr (M == Mode::Read) {
    Sink sink(scratch);
    in.set_index(end);
    Result<StringToken, Error> rest = lex_string_rest<M>(in, sink, start);
    at.i = in.index();
    if (!rest) return fail(std::move(rest).error());
    token = rest.value();
    return {};
  } else {
    const SkippedString skipped = skip_string_rest(at.p, at.n, end);
    at.i = skipped.index;
    if (!skipped.ok) return fail(at.sync(in).error(skipped.error));
    return {};
  }
}

// walk_string on its own, from the Input's index: what the differential
// checks hold against lex_string_rest.
template <Mode M, class Sink>
Result<StringToken, Error> lex_string(Input& in, std::string& scratch) {
  Cursor at{in.data(), in.size(), in.index()};
  StringToken token;
  Status s = walk_string<M, Sink>(in, at, scratch, token);
  at.sync(in);
  if (!s) return fail(std::move(s).error());
  return token;
}

// The scalar that starts with `c` at the cursor (white space skipped). The
// common forms are taken on the cursor; the rest, errors included, and the
// visitors, which may need a position, work on the Input. The cursor is
// current on return.
template <Mode M, class V>
[[gnu::always_inline]] inline Status walk_scalar(Input& in, Cursor& at, std::string& scratch, int c,
                                                 V& v) {
  // The rest of null, true or false, as a whole where it stands.
  const auto literal = [&](std::string_view rest) -> Status {
    ++at.i;
    if (at.n - at.i >= rest.size() && std::memcmp(at.p + at.i, rest.data(), rest.size()) == 0) {
      at.i += rest.size();
      return {};
    }
    Status s = literal_rest(at.sync(in), rest);
    at.i = in.index();
    return s;
  };
  switch (c) {
    case 'n':
      if (Status s = literal("ull"); !s) return s;
      if constexpr (M == Mode::Read) return visited(at.sync(in), v.null_value());
      return {};
    case 't':
      if (Status s = literal("rue"); !s) return s;
      if constexpr (M == Mode::Read) return visited(at.sync(in), v.boolean(true));
      return {};
    case 'f':
      if (Status s = literal("alse"); !s) return s;
      if constexpr (M == Mode::Read) return visited(at.sync(in), v.boolean(false));
      return {};
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      if constexpr (M == Mode::Read) {
        NumberToken token;
        if (Status s = lex_number(at.sync(in), token); !s) return s;
        at.i = in.index();
        return visited(in, v.number(token));
      } else {
        if (const std::size_t end = skip_number_quick(at.p, at.n, at.i); end != kNotQuick) {
          at.i = end;
          return {};
        }
        Status s = skip_number_plain(at.sync(in));
        at.i = in.index();
        return s;
      }
    }
    case '"': {
      ++at.i;
      StringToken token;
      if (Status s = walk_string<M, ValueText<V>>(in, at, scratch, token); !s) return s;
      if constexpr (M == Mode::Read) return visited(at.sync(in), v.string(token));
      return {};
    }
    case -1:
      return fail(at.sync(in).peek_error(ErrorCode::EofWhileParsingValue));
    default:
      return fail(at.sync(in).peek_error(ErrorCode::ExpectedSomeValue));
  }
}

// walk() over the given stack of open containers.
template <Mode M, class V, class Frames>
Status walk_over(Input& in, std::string& scratch, Frames& open, V& v) {
  const auto object_on_top = [&]() noexcept {
    if constexpr (M == Mode::Read) {
      return open.top().object;
    } else {
      return open.object_on_top();
    }
  };
  Cursor at{in.data(), in.size(), in.index()};
  int c = at.skip_whitespace();
  for (;;) {
    // A value starts at `c`.
    bool first = false;  // the container just opened has no element yet
    if (c == '[' || c == '{') {
      const bool object = c == '{';
      if constexpr (M == Mode::Read) {
        if (open.depth() == kMaxOpen)
          return fail(at.sync(in).peek_error(ErrorCode::RecursionLimitExceeded));
        std::size_t mark = 0;
        if (Status s = visited(at.sync(in), v.open(object, mark)); !s) return s;
        open.push({mark, object});
      } else {
        open.push(object);
      }
      ++at.i;
      first = true;
    } else {
      if (Status s = walk_scalar<M>(in, at, scratch, c, v); !s) return s;
      if (open.empty()) {
        at.sync(in);
        return {};
      }
    }

    // Close what ends here, then find where the next value starts.
    for (;;) {
      const bool object = object_on_top();
      const char closing = object ? '}' : ']';
      [[maybe_unused]] Element element = Element::Visit;
      if constexpr (M == Mode::Read && TakesValues<V>) {
        if (!object) element = v.next_element();
        if (element == Element::End) {
          if (Status s = end_seq(at.sync(in)); !s) return s;
          at.i = in.index();
          c = closing;
        } else {
          c = at.skip_whitespace();
          if (c == closing) ++at.i;
        }
      } else {
        c = at.skip_whitespace();
        if (c == closing) ++at.i;
      }
      if (c == closing) {
        if constexpr (M == Mode::Read) {
          const std::size_t mark = open.top().mark;
          open.pop();
          if (Status s = visited(at.sync(in), v.close(object, mark)); !s) return s;
        } else {
          open.pop();
        }
        if (open.empty()) {
          at.sync(in);
          return {};
        }
        first = false;
        continue;
      }
      if (c < 0) {
        return fail(at.sync(in).peek_error(object ? ErrorCode::EofWhileParsingObject
                                                  : ErrorCode::EofWhileParsingList));
      }
      if (!first) {
        if (c != ',') {
          return fail(at.sync(in).peek_error(object ? ErrorCode::ExpectedObjectCommaOrEnd
                                                    : ErrorCode::ExpectedListCommaOrEnd));
        }
        ++at.i;
        c = at.skip_whitespace();
        // Skipping has errors of its own here.
        if (c < 0) {
          return fail(at.sync(in).peek_error(M == Mode::Skip && object
                                                 ? ErrorCode::EofWhileParsingObject
                                                 : ErrorCode::EofWhileParsingValue));
        }
        if (c == closing) {
          return fail(at.sync(in).peek_error(M == Mode::Read ? ErrorCode::TrailingComma
                                             : object        ? ErrorCode::KeyMustBeAString
                                                             : ErrorCode::ExpectedSomeValue));
        }
      }
      first = false;
      if (!object) {
        if constexpr (M == Mode::Read && TakesValues<V>) {
          if (element == Element::Take) {
            if (Status s = v.take(at.sync(in)); !s) return s;
            at.i = in.index();
            continue;
          }
        }
        break;
      }

      if (c != '"') return fail(at.sync(in).peek_error(ErrorCode::KeyMustBeAString));
      ++at.i;
      StringToken key;
      if (Status s = walk_string<M, DecodedText>(in, at, scratch, key); !s) return s;
      KeyAction action = KeyAction::Visit;
      if constexpr (M == Mode::Read) {
        at.sync(in);  // a record's error is positioned from here
        Result<KeyAction, Error> wanted = v.key(key);
        if (!wanted) {
          in.fix_position(wanted.error());
          return fail(std::move(wanted).error());
        }
        action = wanted.value();
      }
      c = at.skip_whitespace();
      if (c != ':') {
        return fail(at.sync(in).peek_error(c < 0 ? ErrorCode::EofWhileParsingObject
                                                 : ErrorCode::ExpectedColon));
      }
      ++at.i;
      if (action == KeyAction::Skip) {
        if (Status s = skip_value(at.sync(in)); !s) return s;
        at.i = in.index();
        continue;
      }
      if constexpr (M == Mode::Read && TakesValues<V>) {
        if (action == KeyAction::Take) {
          if (Status s = v.take(at.sync(in)); !s) return s;
          at.i = in.index();
          continue;
        }
      }
      c = at.skip_whitespace();
      break;
    }
  }
}

// Walks the one value at the index (white space first) and stops after it.
template <Mode M, class V>
Status walk(Input& in, std::string& scratch, V& v) {
  if constexpr (M == Mode::Read && SharesFrames<V>) {
    return walk_over<M>(in, scratch, v.frames(), v);
  } else if constexpr (M == Mode::Read) {
    OpenFrames open;
    return walk_over<M>(in, scratch, open, v);
  } else {
    SkipFrames open;
    return walk_over<M>(in, scratch, open, v);
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
