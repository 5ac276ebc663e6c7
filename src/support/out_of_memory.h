// The one place that says which failures mean "memory ran out": a failed
// allocation, or a size beyond what a container can hold (a file or line
// too long for a string). What that means for the run is up to the caller:
// a usage error while the options are read, the service unavailable during
// the exchange.
#pragma once

#include <new>
#include <stdexcept>

namespace kelvane {

template <class Work, class OnExhausted>
auto unless_out_of_memory(Work&& work, OnExhausted&& on_exhausted) -> decltype(work()) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return on_exhausted();
  } catch (const std::length_error&) {
    return on_exhausted();
  }
}

}  // namespace kelvane
