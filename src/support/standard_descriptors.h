// Standard input, output and error open before anything else is.
#pragma once

#include "support/io_error.h"
#include "support/result.h"

namespace kelvane {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. A
// program started with one of them closed would otherwise hand that number
// to the next file, pipe or socket it opens, and then write its messages
// into it (a service's screen into its own signal pipe, say). Call first
// thing in main.
Result<void, io::Error> open_closed_standard_descriptors() noexcept;

}  // namespace kelvane
