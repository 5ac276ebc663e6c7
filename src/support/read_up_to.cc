#include "support/read_up_to.h"

#include <unistd.h>

#include <cerrno>

#include "support/retry.h"

namespace kelvane {

Result<std::string, int> read_up_to(int fd, std::size_t limit) {
  std::string text;
  char buffer[16384];
  while (text.size() <= limit) {
    const ssize_t n = repeat_if_interrupted([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) return fail(errno);
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace kelvane
