#include "support/write_loop.h"

#include <unistd.h>

namespace kelvane::io {

Result<void, Error> write_fully(int fd, std::string_view bytes) {
  return write_every_byte(
      bytes, [fd](const char* data, std::size_t size) { return ::write(fd, data, size); });
}

}  // namespace kelvane::io
