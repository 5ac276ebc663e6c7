#include "json/digits.h"
#include "json/number_text.h"

namespace kelvane::json {

std::size_t unsigned_text(std::uint64_t value, char* out) noexcept {
  const int n = detail::decimal_length(value);
  detail::write_digits_backward(value, out + n);
  return static_cast<std::size_t>(n);
}

std::size_t negative_text(std::int64_t value, char* out) noexcept {
  // Negating in unsigned arithmetic keeps INT64_MIN exact.
  const std::uint64_t magnitude = 0 - static_cast<std::uint64_t>(value);
  out[0] = '-';
  return 1 + unsigned_text(magnitude, out + 1);
}

}  // namespace kelvane::json
