#include <sys/socket.h>

#include "approval/connection.h"
#include "approval/write_loop.h"

namespace kelvane::approval {

Result<void, io::Error> write_all(int fd, std::string_view bytes) {
  // MSG_NOSIGNAL: a peer that has gone away gives EPIPE, not SIGPIPE.
  return io::write_every_byte(bytes, [fd](const char* data, std::size_t size) {
    return ::send(fd, data, size, MSG_NOSIGNAL);
  });
}

}  // namespace kelvane::approval
