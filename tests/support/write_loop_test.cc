#include "support/write_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace kelvane::io {
namespace {

// Each step of a scripted writer: take up to `take` bytes, or fail with
// `error` when take is -1.
struct Step {
  ssize_t take;
  int error = 0;
};

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::string written;
  std::string error;  // empty: success
};

TEST(WriteEveryByte, PartialInterruptedZeroAndFailedWrites) {
  const Case cases[] = {
      {"one go", {{6}}, "abcdef", ""},
      {"partial writes", {{1}, {2}, {3}}, "abcdef", ""},
      {"interrupted, then the rest", {{2}, {-1, EINTR}, {-1, EINTR}, {4}}, "abcdef", ""},
      {"nothing taken", {{3}, {0}}, "abc", "failed to write whole buffer"},
      {"broken pipe", {{-1, EPIPE}}, "", Error::os(EPIPE).to_string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string written;
    std::size_t next = 0;
    auto write_some = [&](const char* data, std::size_t size) -> ssize_t {
      const Step step = c.steps.at(next++);
      if (step.take < 0) {
        errno = step.error;
        return -1;
      }
      const auto n = std::min(size, static_cast<std::size_t>(step.take));
      written.append(data, n);
      return static_cast<ssize_t>(n);
    };
    Result<void, Error> result = write_every_byte("abcdef", write_some);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(next, c.steps.size());
    EXPECT_EQ(result.ok() ? "" : result.error().to_string(), c.error);
  }
}

// Several pieces: the scripted takes fall inside pieces, on their edges and
// across empty ones, and each call must start where the last one stopped.
TEST(WriteEveryPiece, PartialWritesAcrossPieceBoundaries) {
  const Case cases[] = {
      {"one go", {{7}}, "abcdefg", ""},
      {"byte by byte", {{1}, {1}, {1}, {1}, {1}, {1}, {1}}, "abcdefg", ""},
      {"across the empty piece", {{3}, {4}}, "abcdefg", ""},
      {"on the edges", {{2}, {4}, {1}}, "abcdefg", ""},
      {"interrupted inside a piece", {{5}, {-1, EINTR}, {2}}, "abcdefg", ""},
      {"nothing taken", {{6}, {0}}, "abcdef", "failed to write whole buffer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string pieces[] = {"ab", "", "cdef", "", "g"};
    iovec vector[5];
    for (int i = 0; i < 5; ++i) vector[i] = {pieces[i].data(), pieces[i].size()};
    std::string written;
    std::size_t next = 0;
    auto write_some = [&](const iovec* rest, int count) -> ssize_t {
      const Step step = c.steps.at(next++);
      if (step.take < 0) {
        errno = step.error;
        return -1;
      }
      auto budget = static_cast<std::size_t>(step.take);
      for (int i = 0; i < count && budget > 0; ++i) {
        const std::size_t n = std::min(budget, rest[i].iov_len);
        written.append(static_cast<const char*>(rest[i].iov_base), n);
        budget -= n;
      }
      return step.take - static_cast<ssize_t>(budget);
    };
    Result<void, Error> result = write_every_piece(vector, write_some);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(next, c.steps.size());
    EXPECT_EQ(result.ok() ? "" : result.error().to_string(), c.error);
  }
}

}  // namespace
}  // namespace kelvane::io
