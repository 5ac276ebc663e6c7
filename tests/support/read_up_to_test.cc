#include "support/read_up_to.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace kelvane {
namespace {

// A file of `size` bytes, opened for reading.
int file_of(std::size_t size) {
  FILE* file = std::tmpfile();
  const std::string text(size, 'x');
  std::fwrite(text.data(), 1, text.size(), file);
  std::fflush(file);
  const int fd = ::dup(::fileno(file));
  std::fclose(file);
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

TEST(ReadUpTo, TellsWhatFitsFromWhatIsTooLong) {
  struct Case {
    std::size_t size, limit;
    bool fits;
  };
  // Around the limit, and across the 16 KiB read size.
  const Case cases[] = {{0, 0, true},          {0, 10, true},          {10, 10, true},
                        {11, 10, false},       {16384, 16384, true},   {16385, 16384, false},
                        {40000, 100000, true}, {100001, 100000, false}};
  for (const Case& c : cases) {
    const int fd = file_of(c.size);
    auto text = read_up_to(fd, c.limit);
    ::close(fd);
    ASSERT_TRUE(text.ok()) << c.size;
    EXPECT_EQ(text.value().size() <= c.limit, c.fits) << c.size << " bytes, limit " << c.limit;
    if (c.fits) {
      EXPECT_EQ(text.value(), std::string(c.size, 'x'));
    }
  }
}

TEST(ReadUpTo, StopsOnAnEndlessSourceAndGivesTheErrnoOfAFailedRead) {
  const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(zero, 0);
  auto endless = read_up_to(zero, 1000);
  ::close(zero);
  ASSERT_TRUE(endless.ok());
  EXPECT_GT(endless.value().size(), 1000u);
  EXPECT_LE(endless.value().size(), 1000u + 16384u);

  auto closed = read_up_to(-1, 10);
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error(), EBADF);
}

}  // namespace
}  // namespace kelvane
