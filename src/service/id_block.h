// Request ids come in blocks: a service reserves one from its record (the
// SQLite file, or the fleet's database) and hands its ids out itself,
// asking for the next block when half of this one is used.
#pragma once

#include <cstdint>

namespace kelvane::service {

inline constexpr std::uint64_t kIdBlock = 65536;

}  // namespace kelvane::service
