// Skipping one complete value without building it, for the fields that a
// record does not have. Deeply nested input must not exhaust the call stack,
// so the open brackets are kept on a stack in the scratch buffer instead of
// recursing; there is no nesting limit here.
#include "json/deserializer.h"

namespace kelvane::json::detail {

Status Deserializer::skip_value() {
  std::string& open = scratch_;  // '[' or '{' for each open bracket
  open.clear();
  for (;;) {
    // A value starts here.
    int c = skip_whitespace();
    Status status;
    bool opened = false;
    switch (c) {
      case -1:
        return fail(peek_error(ErrorCode::EofWhileParsingValue));
      case 'n':
        eat();
        status = parse_ident("ull");
        break;
      case 't':
        eat();
        status = parse_ident("rue");
        break;
      case 'f':
        eat();
        status = parse_ident("alse");
        break;
      case '-':
        eat();
        status = ignore_integer();
        break;
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        status = ignore_integer();
        break;
      case '"':
        eat();
        status = ignore_str();
        break;
      case '[':
      case '{':
        eat();
        open += static_cast<char>(c);
        opened = true;
        break;
      default:
        return fail(peek_error(ErrorCode::ExpectedSomeValue));
    }
    if (!status) return status;

    // Close what the value completed; stop at the separator before the next
    // value, or when the outermost value is complete.
    bool after_value = !opened;
    for (;;) {
      if (open.empty()) return {};
      const char frame = open.back();
      c = skip_whitespace();
      if (c < 0) {
        return fail(peek_error(frame == '[' ? ErrorCode::EofWhileParsingList : ErrorCode::EofWhileParsingObject));
      }
      if ((frame == '[' && c == ']') || (frame == '{' && c == '}')) {
        eat();
        open.pop_back();
        after_value = true;
        continue;
      }
      if (after_value) {
        if (c != ',') {
          return fail(peek_error(frame == '[' ? ErrorCode::ExpectedListCommaOrEnd
                                              : ErrorCode::ExpectedObjectCommaOrEnd));
        }
        eat();
      }
      break;
    }

    // In an object the next value is preceded by its key and a colon.
    if (open.back() == '{') {
      c = skip_whitespace();
      if (c < 0) return fail(peek_error(ErrorCode::EofWhileParsingObject));
      if (c != '"') return fail(peek_error(ErrorCode::KeyMustBeAString));
      eat();
      if (Status s = ignore_str(); !s) return s;
      if (Status s = parse_object_colon(); !s) return s;
    }
  }
}

}  // namespace kelvane::json::detail
