// Reading a descriptor to its end with a cap: configuration, key and
// connection files, /proc files, a token or a request on standard input.
#pragma once

#include <cstddef>
#include <string>

#include "support/result.h"

namespace kelvane {

// Reads `fd` until its end, or until it has read more than `limit` bytes:
// then it stops, and the text it returns is longer than `limit`, so that the
// caller can tell "too long" from "fits" without reading an endless source
// to its end. An interrupted read is repeated; a failed one gives its errno.
Result<std::string, int> read_up_to(int fd, std::size_t limit);

}  // namespace kelvane
