#include "command/output.h"

#include <unistd.h>

#include <cerrno>

namespace kelvane::command {

Result<void, io::Error> write_fully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(io::Error::last_os_error());
    }
    if (n == 0) return fail(io::Error::fixed(io::ErrorKind::WriteZero, "failed to write whole buffer"));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace kelvane::command
