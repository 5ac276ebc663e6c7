#include "support/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "support/retry.h"

namespace kelvane {

Result<void, io::Error> open_closed_standard_descriptors() noexcept {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is `fd` itself, the lower ones being open.
    const int opened = repeat_if_interrupted([] { return ::open("/dev/null", O_RDWR); });
    if (opened < 0) return fail(io::Error::last_os_error());
    if (opened != fd) {
      (void)::close(opened);
      return fail(io::Error::fixed(io::ErrorKind::Other,
                                   "/dev/null did not open as a standard descriptor"));
    }
  }
  return {};
}

}  // namespace kelvane
