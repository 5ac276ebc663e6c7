#include "command/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace kelvane::command {

void prepare_process() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open takes the lowest free number, which is `fd` since the ones below
    // it are open by now.
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened != fd && opened >= 0) ::close(opened);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace kelvane::command
