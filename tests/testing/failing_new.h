// A replacement operator new for the tests that provoke running out of
// memory: allocations above a chosen size fail while a test asks for it.
// Link failing_new.cc into a test binary of its own; the replacement then
// serves everything in the process, loaded plugins included. Under
// AddressSanitizer, which brings its own operator new, nothing is replaced
// and the tests skip themselves (see sanitizer.h).
#pragma once

#include <cstddef>

namespace kelvane::testing {

// Allocations larger than `limit` bytes throw std::bad_alloc from now on;
// 0 lifts the limit.
void set_allocation_limit(std::size_t limit);

}  // namespace kelvane::testing
