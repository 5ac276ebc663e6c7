#include "json/position.h"

#include <algorithm>

namespace kelvane::json {

Position position_of_index(std::string_view text, std::size_t index) noexcept {
  const std::string_view before = text.substr(0, index);
  const std::size_t last_lf = before.rfind('\n');
  if (last_lf == std::string_view::npos) return {1, before.size()};
  const auto lines =
      std::count(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(last_lf) + 1, '\n');
  return {1 + static_cast<std::size_t>(lines), before.size() - last_lf - 1};
}

}  // namespace kelvane::json
