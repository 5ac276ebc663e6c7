#include "sudo/settings.h"

namespace kelvane::sudo {

std::optional<std::string_view> find_setting(char* const* vector, std::string_view name) noexcept {
  if (vector == nullptr) return std::nullopt;
  for (char* const* entry = vector; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t equals = text.find('=');
    if (equals != std::string_view::npos && text.substr(0, equals) == name) {
      return text.substr(equals + 1);
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) noexcept {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace kelvane::sudo
