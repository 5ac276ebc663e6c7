#include "service/syntax_words.h"

namespace kelvane::service {

std::optional<std::string_view> syntax_words(json::ErrorCode code) {
  switch (code) {
    case json::ErrorCode::ExpectedObjectCommaOrEnd:
      return "expected ',' or '}'";
    case json::ErrorCode::KeyMustBeAString:
    case json::ErrorCode::EofWhileParsingObject:
      return "expected a member name";
    case json::ErrorCode::ExpectedColon:
      return "expected ':'";
    case json::ErrorCode::TrailingCharacters:
      return "unexpected text after the request object";
    default:
      return std::nullopt;
  }
}

}  // namespace kelvane::service
