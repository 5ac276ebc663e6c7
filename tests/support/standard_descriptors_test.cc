#include "support/standard_descriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kelvane {
namespace {

bool is_dev_null(int fd) {
  struct stat at {
  }, null{};
  return ::fstat(fd, &at) == 0 && ::stat("/dev/null", &null) == 0 && at.st_rdev == null.st_rdev &&
         S_ISCHR(at.st_mode);
}

// In a child: closes the descriptors in `closed` (a bit per number), opens
// the missing ones and reports, as its exit status, a bit per descriptor
// that is not what it should be afterwards (/dev/null where it was closed,
// the same file where it was open), and 8 for a failed call.
int run_with_closed(unsigned closed) {
  const pid_t child = ::fork();
  if (child == 0) {
    const int keep = ::open("/dev/null", O_RDONLY);  // some other open file
    const int marker = ::dup(keep);
    struct stat before[3]{};
    for (int fd = 0; fd <= 2; ++fd) {
      if ((closed & (1u << fd)) != 0) {
        ::close(fd);
      } else {
        ::fstat(fd, &before[fd]);
      }
    }
    int bad = open_closed_standard_descriptors().ok() ? 0 : 8;
    for (int fd = 0; fd <= 2; ++fd) {
      struct stat now {};
      const bool open = ::fstat(fd, &now) == 0;
      const bool right =
          (closed & (1u << fd)) != 0
              ? open && is_dev_null(fd) && (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR
              : open && now.st_ino == before[fd].st_ino && now.st_dev == before[fd].st_dev;
      if (!right) bad |= 1 << fd;
    }
    // Nothing else was opened or closed.
    if (::fcntl(marker, F_GETFD) < 0 || ::fcntl(marker + 1, F_GETFD) >= 0) bad |= 16;
    std::exit(bad);  // not _exit: a coverage build writes its counts at exit
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StandardDescriptors, EveryCombinationOfClosedOnesIsFilled) {
  for (unsigned closed = 0; closed < 8; ++closed) {
    EXPECT_EQ(run_with_closed(closed), 0) << "closed set " << closed;
  }
}

// With no descriptor left to open, the failure is reported, not ignored.
TEST(StandardDescriptors, AFailureToOpenIsReported) {
  const pid_t child = ::fork();
  if (child == 0) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit none{1, limit.rlim_max};
    ::close(STDOUT_FILENO);
    ::setrlimit(RLIMIT_NOFILE, &none);
    const Result<void, io::Error> opened = open_closed_standard_descriptors();
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::exit(!opened.ok() && opened.error().os_code() == EMFILE ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace kelvane
