#include "testing/service.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace kelvane::testing {

TempDir::TempDir() {
  char pattern[] = "/tmp/koa-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0) break;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(fd);
}

std::string read_file(const std::string& path) {
  std::string out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    out.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return out;
}

std::size_t open_descriptor_count() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;
}

namespace {

bool send_whole(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A short or failed write ends the child with a status of its own; the
// parent then finds the pipe short.
bool write_whole(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A socket bound to `path`, not yet listening; -1 with errno on failure.
int bound_socket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    ::close(fd);
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace

int listen_on(const std::string& path) {
  const int fd = bound_socket(path);
  if (fd < 0) return -1;
  if (::listen(fd, 4) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

Behaviour scripted(Script script) {
  return [script = std::move(script)](int fd, std::string& received) {
    if (!script.read_request) return;
    char buffer[4096];
    while (received.find('\n') == std::string::npos) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
    }
    bool first = true;
    for (const std::string& piece : script.pieces) {
      if (!first) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      first = false;
      (void)::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
    }
    ::shutdown(fd, SHUT_WR);
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
    }
  };
}

Behaviour reply_after_line(std::string reply, bool record) {
  return [reply = std::move(reply), record](int fd, std::string& received) {
    // Large enough that a request of megabytes takes few receives.
    std::vector<char> buffer(1 << 20);
    for (;;) {
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      const std::string_view got(buffer.data(), static_cast<std::size_t>(n));
      if (record) received.append(got);
      if (got.find('\n') != std::string_view::npos) break;
    }
    (void)send_whole(fd, reply);
  };
}

FakeService::FakeService(std::string path, Script script)
    : FakeService(ServiceSetup(std::move(path), scripted(std::move(script)))) {}

FakeService::FakeService(ServiceSetup setup) : path_(setup.path), setup_(std::move(setup)) {
  listener_ = bound_socket(path_);
  if (listener_ < 0) throw std::runtime_error("cannot bind " + path_);
  if (!setup_.as_uid) {
    if (::listen(listener_, setup_.backlog) != 0)
      throw std::runtime_error("cannot listen on " + path_);
    thread_ = std::thread([this] { serve_connections(received_); });
    return;
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  child_ = ::fork();
  if (child_ < 0) throw std::runtime_error("fork");
  if (child_ == 0) {
    // The kernel takes the peer credentials of a connection from the
    // listening socket as it was when it started to listen.
    ::close(pipe_fds[0]);
    const uid_t uid = *setup_.as_uid;
    if (::setgid(uid) != 0 || ::setuid(uid) != 0 || ::listen(listener_, setup_.backlog) != 0)
      ::_exit(2);
    if (!write_whole(pipe_fds[1], "L")) ::_exit(4);  // listening: a client may connect
    std::string received;
    serve_connections(received);
    const std::string report = (accepted_ ? "A" : "-") + received;
    ::_exit(write_whole(pipe_fds[1], report) ? 0 : 5);
  }
  ::close(pipe_fds[1]);
  from_child_ = pipe_fds[0];
  char ready = 0;
  if (::read(from_child_, &ready, 1) != 1) throw std::runtime_error("the service did not start");
}

FakeService::~FakeService() {
  stop();
  if (child_ > 0) {
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
  }
  if (from_child_ >= 0) ::close(from_child_);
  ::close(listener_);
}

void FakeService::serve_connections(std::string& received) {
  for (std::size_t served = 0; setup_.connections == 0 || served < setup_.connections; ++served) {
    pollfd p{listener_, POLLIN, 0};
    const int timeout = setup_.accept_limit ? static_cast<int>(setup_.accept_limit->count()) : -1;
    const int ready = ::poll(&p, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1 || (p.revents & POLLIN) == 0) return;  // stopped, or nobody came
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    accepted_ = true;
    if (child_ == 0) {
      // A child whose client neither sends nor leaves ends by itself.
      const timeval limit{10, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    setup_.behaviour(fd, received);
    ::close(fd);
  }
}

void FakeService::stop() {
  if (stopped_) return;
  stopped_ = true;
  // Wakes a wait for a client that will never come, here or in the child,
  // which shares the socket.
  ::shutdown(listener_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  if (child_ > 0) {
    std::string report;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(from_child_, buffer, sizeof buffer)) > 0)
      report.append(buffer, static_cast<std::size_t>(n));
    ::waitpid(child_, nullptr, 0);
    child_ = -1;
    accepted_ = report.starts_with("A");
    if (!report.empty()) received_ = report.substr(1);
  }
}

const std::string& FakeService::received() {
  stop();
  return received_;
}

void FakeService::serve_forever() {
  if (thread_.joinable()) thread_.join();
  if (child_ > 0) ::waitpid(child_, nullptr, 0);
}

}  // namespace kelvane::testing
