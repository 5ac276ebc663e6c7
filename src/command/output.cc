#include "command/output.h"

#include <unistd.h>

#include "support/write_loop.h"

namespace kelvane::command {

Result<void, io::Error> write_fully(int fd, std::string_view bytes) {
  return io::write_every_byte(
      bytes, [fd](const char* data, std::size_t size) { return ::write(fd, data, size); });
}

}  // namespace kelvane::command
