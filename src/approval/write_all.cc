#include <sys/socket.h>

#include <array>

#include "approval/connection.h"
#include "support/write_loop.h"

namespace kelvane::approval {

// MSG_NOSIGNAL: a peer that has gone away gives EPIPE, not SIGPIPE.

Result<void, io::Error> write_all(int fd, std::string_view bytes) {
  return io::write_every_byte(bytes, [fd](const char* data, std::size_t size) {
    return ::send(fd, data, size, MSG_NOSIGNAL);
  });
}

Result<void, io::Error> write_all(int fd, std::span<const std::string_view, 3> pieces) {
  std::array<iovec, 3> vector{};
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    vector[i] = {const_cast<char*>(pieces[i].data()), pieces[i].size()};
  }
  return io::write_every_piece(vector, [fd](iovec* rest, int count) {
    msghdr message{};
    message.msg_iov = rest;
    message.msg_iovlen = static_cast<std::size_t>(count);
    return ::sendmsg(fd, &message, MSG_NOSIGNAL);
  });
}

}  // namespace kelvane::approval
