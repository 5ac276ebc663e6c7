#include <sys/socket.h>
#include <sys/types.h>

#include <cstring>

#include "approval/connection.h"
#include "support/retry.h"
#include "support/utf8.h"

namespace kelvane::approval {
namespace {

// Refills the buffer with one receive of up to its whole capacity.
Result<void, io::Error> refill(LineReader& reader) {
  const ssize_t n = repeat_if_interrupted(
      [&] { return ::recv(reader.fd, reader.buffer.data(), reader.buffer.size(), 0); });
  if (n < 0) return fail(io::Error::last_os_error());
  reader.pos = 0;
  reader.filled = static_cast<std::size_t>(n);
  return {};
}

// Appends up to and including the first line feed of the buffered bytes, or
// all of them. Returns true once the line is complete or the stream ended.
template <class Line>
bool take_buffered(LineReader& reader, Line& line) {
  const char* begin = reader.buffer.data() + reader.pos;
  const std::size_t available = reader.filled - reader.pos;
  if (available == 0) return true;  // the peer closed its side
  const void* newline = std::memchr(begin, '\n', available);
  const std::size_t used =
      newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - begin) + 1 : available;
  line.append(begin, used);
  reader.pos += used;
  return newline != nullptr;
}

}  // namespace

template <class Line>
Result<std::size_t, io::Error> read_line(LineReader& reader, Line& line) {
  const std::size_t start = line.size();
  std::optional<io::Error> receive_error;
  for (;;) {
    if (reader.pos == reader.filled) {
      Result<void, io::Error> received = refill(reader);
      if (!received.ok()) {
        receive_error = std::move(received).error();
        break;
      }
    }
    if (take_buffered(reader, line)) break;
  }

  const bool valid = utf8::is_valid(std::string_view(line.data(), line.size()).substr(start));
  if (!valid) line.resize(start);
  if (receive_error) return fail(std::move(*receive_error));
  if (!valid) {
    return fail(io::Error::fixed(io::ErrorKind::InvalidData, "stream did not contain valid UTF-8"));
  }
  return line.size() - start;
}

template Result<std::size_t, io::Error> read_line(LineReader&, std::string&);
template Result<std::size_t, io::Error> read_line(LineReader&, ByteBuffer&);

}  // namespace kelvane::approval
