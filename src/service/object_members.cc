#include "service/object_members.h"

namespace kelvane::service {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::size_t skip_space(std::string_view text, std::size_t i) {
  while (i < text.size() && is_space(text[i])) ++i;
  return i;
}

// The index after the string whose opening quote is at `i`.
std::size_t end_of_string(std::string_view text, std::size_t i) {
  for (++i; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return kNone;
}

// The index after the array or object whose bracket is at `i`, counting
// brackets outside strings; a counter rather than recursion, so that any
// depth is delimited in constant stack.
std::size_t end_of_container(std::string_view text, std::size_t i) {
  std::size_t depth = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      i = end_of_string(text, i);
      if (i == kNone) return kNone;
      continue;
    }
    if (c == '[' || c == '{') ++depth;
    if ((c == ']' || c == '}') && --depth == 0) return i + 1;
    ++i;
  }
  return kNone;
}

std::size_t end_of_value(std::string_view text, std::size_t i) {
  if (i >= text.size()) return kNone;
  if (text[i] == '"') return end_of_string(text, i);
  if (text[i] == '[' || text[i] == '{') return end_of_container(text, i);
  std::size_t end = i;
  while (end < text.size() && !is_space(text[end]) && text[end] != ',' && text[end] != '}' &&
         text[end] != ']') {
    ++end;
  }
  return end == i ? kNone : end;
}

std::string at(std::string_view what, std::size_t offset) {
  return "the request is not valid JSON: " + std::string(what) + " at byte " +
         std::to_string(offset);
}

}  // namespace

Result<std::vector<RawMember>, std::string> split_object(std::string_view text) {
  std::size_t i = skip_space(text, 0);
  if (i >= text.size() || text[i] != '{')
    return fail(std::string("the request is not a JSON object"));
  std::vector<RawMember> members;
  i = skip_space(text, i + 1);
  if (i < text.size() && text[i] == '}') {
    i = skip_space(text, i + 1);
    if (i != text.size()) return fail(at("unexpected text after the request object", i));
    return members;
  }
  for (;;) {
    if (i >= text.size() || text[i] != '"') return fail(at("expected a member name", i));
    const std::size_t key_end = end_of_string(text, i);
    if (key_end == kNone) return fail(at("unterminated member name", i));
    const std::string_view key = text.substr(i, key_end - i);
    i = skip_space(text, key_end);
    if (i >= text.size() || text[i] != ':') return fail(at("expected ':'", i));
    i = skip_space(text, i + 1);
    const std::size_t value_end = end_of_value(text, i);
    if (value_end == kNone) return fail(at("expected a complete value", i));
    members.push_back({key, text.substr(i, value_end - i)});
    i = skip_space(text, value_end);
    if (i < text.size() && text[i] == ',') {
      i = skip_space(text, i + 1);
      continue;
    }
    if (i < text.size() && text[i] == '}') break;
    return fail(at("expected ',' or '}'", i));
  }
  i = skip_space(text, i + 1);
  if (i != text.size()) return fail(at("unexpected text after the request object", i));
  return members;
}

Result<std::vector<std::string_view>, std::string> split_array(std::string_view text) {
  std::size_t i = skip_space(text, 0);
  if (i >= text.size() || text[i] != '[') return fail(std::string("not a JSON array"));
  std::vector<std::string_view> elements;
  i = skip_space(text, i + 1);
  if (i < text.size() && text[i] == ']') {
    i = skip_space(text, i + 1);
    if (i != text.size()) return fail(at("unexpected text after the array", i));
    return elements;
  }
  for (;;) {
    const std::size_t value_end = end_of_value(text, i);
    if (value_end == kNone) return fail(at("expected a complete value", i));
    elements.push_back(text.substr(i, value_end - i));
    i = skip_space(text, value_end);
    if (i < text.size() && text[i] == ',') {
      i = skip_space(text, i + 1);
      continue;
    }
    if (i < text.size() && text[i] == ']') break;
    return fail(at("expected ',' or ']'", i));
  }
  i = skip_space(text, i + 1);
  if (i != text.size()) return fail(at("unexpected text after the array", i));
  return elements;
}

}  // namespace kelvane::service
