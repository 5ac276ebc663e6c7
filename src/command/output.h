// Unbuffered output to a descriptor: what is written has reached the
// descriptor when the call returns, so there is nothing left to flush.
#pragma once

#include <string_view>

#include "support/io_error.h"
#include "support/result.h"

namespace kelvane::command {

// Writes all bytes, repeating interrupted and partial writes.
Result<void, io::Error> write_fully(int fd, std::string_view bytes);

}  // namespace kelvane::command
