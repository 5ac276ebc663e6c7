// Unsigned decimal numbers as options, settings and /proc files write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvane {

// The value of a text made of ASCII digits only (at least one; leading zeros
// allowed), or nullopt when it has anything else in it or exceeds `max`.
std::optional<std::uint64_t> parse_decimal(std::string_view text,
                                           std::uint64_t max = UINT64_MAX) noexcept;

}  // namespace kelvane
