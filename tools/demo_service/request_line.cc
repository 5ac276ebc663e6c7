#include "request_line.h"

#include <sys/socket.h>

#include <cerrno>
#include <string_view>

#include "service/deadline.h"
#include "stop.h"

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
    const ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return Chunk::End;
    got = static_cast<std::size_t>(n);
    return Chunk::Data;
  }
}

// Reads and drops bytes up to and including the next line feed.
void drop_rest_of_line(int fd, const service::Deadline& deadline) {
  char buffer[8192];
  for (;;) {
    std::size_t got = 0;
    if (next_chunk(fd, deadline, buffer, sizeof buffer, got) != Chunk::Data) return;
    if (std::string_view(buffer, got).find('\n') != std::string_view::npos) return;
  }
}

}  // namespace

RequestLine read_request_line(int fd, std::size_t max_bytes, std::chrono::milliseconds time_limit) {
  const service::Deadline deadline = service::Deadline::after(time_limit);
  RequestLine result;
  char buffer[8192];
  for (;;) {
    std::size_t got = 0;
    switch (next_chunk(fd, deadline, buffer, sizeof buffer, got)) {
      case Chunk::Data:
        break;
      case Chunk::End:
        result.status = result.line.empty() ? LineStatus::Nothing : LineStatus::Unfinished;
        return result;
      case Chunk::TimedOut:
        result.status = LineStatus::TimedOut;
        return result;
      case Chunk::Stopped:
        result.status = LineStatus::Stopped;
        return result;
    }
    const std::string_view chunk(buffer, got);
    const std::size_t end = chunk.find('\n');
    const std::size_t taken = end == std::string_view::npos ? got : end;
    if (result.line.size() + taken > max_bytes) {
      result.status = LineStatus::TooLong;
      result.line.clear();
      if (end == std::string_view::npos) drop_rest_of_line(fd, deadline);
      return result;
    }
    result.line.append(chunk.substr(0, taken));
    if (end != std::string_view::npos) {
      result.status = LineStatus::Complete;
      return result;
    }
  }
}

std::string line_problem(LineStatus status, std::size_t max_bytes,
                         std::chrono::milliseconds time_limit) {
  switch (status) {
    case LineStatus::Unfinished:
      return "the request line ended without a line feed";
    case LineStatus::TooLong:
      return "the request line is longer than " + std::to_string(max_bytes) + " bytes";
    case LineStatus::TimedOut:
      return "the request line was not complete within " +
             std::to_string(time_limit.count() / 1000) + " seconds";
    case LineStatus::Stopped:
      return "the approval service was stopped";
    case LineStatus::Complete:
    case LineStatus::Nothing:
      break;
  }
  return {};
}

}  // namespace kelvane::demo
