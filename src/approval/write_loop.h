// The loop behind every "write it all": to a socket, to standard output.
#pragma once

#include <sys/types.h>

#include <string_view>

#include "approval/io_error.h"
#include "support/result.h"
#include "support/retry.h"

namespace kelvane::io {

// Hands `bytes` to `write_some` (a write or send of up to n bytes, -1 with
// errno on failure) until all have gone, repeating interrupted and partial
// writes. A write that takes nothing would loop for ever; it is an error.
template <class WriteSome>
Result<void, Error> write_every_byte(std::string_view bytes, WriteSome&& write_some) {
  while (!bytes.empty()) {
    const ssize_t n = repeat_if_interrupted([&] { return write_some(bytes.data(), bytes.size()); });
    if (n < 0) return fail(Error::last_os_error());
    if (n == 0) return fail(Error::fixed(ErrorKind::WriteZero, "failed to write whole buffer"));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace kelvane::io
