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

}  // namespace kelvane::sudo
