#include "testing/service_as.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace kelvane::testing {
namespace {

bool readable_within(int fd, int milliseconds) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, milliseconds) == 1;
}

void write_whole(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// A short or failed write to the parent ends the child with a status of its
// own; the parent then finds the pipe short.
bool write_to_parent(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The child's whole life; only async-signal-safe calls matter little here,
// since the parent runs no other thread while forking in these tests.
[[noreturn]] void serve_as(const std::string& path, uid_t uid, const std::string& reply,
                           int to_parent) {
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::setgid(uid) != 0 || ::setuid(uid) != 0 || ::listen(listener, 1) != 0) {
    ::_exit(2);
  }
  if (!write_to_parent(to_parent, "L", 1)) ::_exit(4);  // listening: the client may connect
  if (!readable_within(listener, 10000)) ::_exit(3);
  const int connection = ::accept(listener, nullptr, nullptr);
  std::string received;
  char buffer[4096];
  while (connection >= 0 && readable_within(connection, 10000)) {
    const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
    if (received.back() == '\n') break;
  }
  write_whole(connection, reply);
  ::_exit(write_to_parent(to_parent, received.data(), received.size()) ? 0 : 5);
}

}  // namespace

ServiceAs::ServiceAs(const std::string& path, uid_t uid, std::string reply) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
  child_ = ::fork();
  if (child_ < 0) throw std::runtime_error("fork");
  if (child_ == 0) {
    ::close(pipe_fds[0]);
    serve_as(path, uid, reply, pipe_fds[1]);
  }
  ::close(pipe_fds[1]);
  from_child_ = pipe_fds[0];
  char ready = 0;
  if (::read(from_child_, &ready, 1) != 1) throw std::runtime_error("the service did not start");
}

ServiceAs::~ServiceAs() {
  if (child_ > 0) {
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
  }
  if (from_child_ >= 0) ::close(from_child_);
}

std::string ServiceAs::received() {
  std::string bytes;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(from_child_, buffer, sizeof buffer)) > 0)
    bytes.append(buffer, static_cast<std::size_t>(n));
  ::waitpid(child_, nullptr, 0);
  child_ = -1;
  return bytes;
}

}  // namespace kelvane::testing
