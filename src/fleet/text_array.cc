#include "fleet/text_array.h"

#include "json/json.h"

namespace kelvane::fleet {

std::string text_array_literal(const std::vector<std::string>& items) {
  std::string literal = "{";
  for (const std::string& item : items) {
    if (literal.size() > 1) literal += ',';
    literal += '"';
    for (const char c : item) {
      if (c == '"' || c == '\\') literal += '\\';
      literal += c;
    }
    literal += '"';
  }
  literal += '}';
  return literal;
}

std::optional<std::vector<std::string>> read_text_array(std::string_view json) {
  auto value = json::parse_value(json);
  if (!value.ok() || value.value().kind() != json::Value::Kind::Array) return std::nullopt;
  std::vector<std::string> items;
  for (const json::Value& item : value.value().as_array()) {
    if (item.kind() != json::Value::Kind::String) return std::nullopt;
    items.emplace_back(item.as_string());
  }
  return items;
}

}  // namespace kelvane::fleet
