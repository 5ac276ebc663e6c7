// PostgreSQL text[] values across the wire: written as an array literal
// (every element quoted, so that no name is taken for NULL or split), read
// back as the JSON text of array_to_json.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::fleet {

std::string text_array_literal(const std::vector<std::string>& items);

// Nullopt unless `json` is an array of strings.
std::optional<std::vector<std::string>> read_text_array(std::string_view json);

}  // namespace kelvane::fleet
