#include "request_line.h"

#include <sys/socket.h>

#include <cerrno>
#include <string_view>

#include "demo_service/deadline.h"
#include "stop.h"
#include "support/line_reader.h"
#include "support/retry.h"

namespace kelvane::demo {
namespace {

enum class Chunk { Data, End, TimedOut, Stopped };

// Waits for bytes until the deadline and receives what is there.
Chunk next_chunk(int fd, const service::Deadline& deadline, char* buffer, std::size_t size,
                 std::size_t& got) {
  for (;;) {
    switch (wait_readable_until(fd, deadline)) {
      case Wait::Ready:
        break;
      case Wait::TimedOut:
        return Chunk::TimedOut;
      case Wait::Stopped:
        return Chunk::Stopped;
    }
    const ssize_t n = repeat_if_interrupted([&] { return ::recv(fd, buffer, size, MSG_DONTWAIT); });
    if (n < 0 && errno == EAGAIN) continue;  // a spurious wake-up: wait again
    if (n <= 0) return Chunk::End;
    got = static_cast<std::size_t>(n);
    return Chunk::Data;
  }
}

}  // namespace

RequestLine read_request_line(int fd, std::size_t max_bytes, std::chrono::milliseconds time_limit) {
  const service::Deadline deadline = service::Deadline::after(time_limit);
  LineReader collector(max_bytes);
  bool too_long = false;
  char buffer[8192];
  for (;;) {
    std::size_t got = 0;
    const Chunk chunk = next_chunk(fd, deadline, buffer, sizeof buffer, got);
    // After TooLong the rest of the line is only read to be dropped, for as
    // long as the client sends it within the time limit.
    if (too_long && chunk != Chunk::Data) return {LineStatus::TooLong, {}};
    switch (chunk) {
      case Chunk::Data:
        break;
      case Chunk::End:
        return {collector.in_line() ? LineStatus::Unfinished : LineStatus::Nothing, {}};
      case Chunk::TimedOut:
        return {LineStatus::TimedOut, {}};
      case Chunk::Stopped:
        return {LineStatus::Stopped, {}};
    }
    std::string_view input(buffer, got);
    switch (collector.feed(input)) {
      case LineReader::Event::Line:
        return {LineStatus::Complete, collector.take_line()};
      case LineReader::Event::TooLong:
        too_long = true;
        break;
      case LineReader::Event::NeedMore:
        break;
    }
    if (too_long && !collector.skipping()) return {LineStatus::TooLong, {}};
  }
}

}  // namespace kelvane::demo
