#include "testing/service.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

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

int listen_on(const std::string& path) {
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
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

FakeService::FakeService(std::string path, Script script)
    : path_(std::move(path)), script_(std::move(script)) {
  listener_ = listen_on(path_);
  if (listener_ < 0) throw std::runtime_error("cannot listen on " + path_);
  thread_ = std::thread([this] { serve(); });
}

FakeService::~FakeService() {
  // Wakes an accept that no client will ever satisfy.
  ::shutdown(listener_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  ::close(listener_);
}

const std::string& FakeService::received() {
  // Called once the client is done: a connection not accepted by now never
  // will be, and the accept must not wait for it.
  ::shutdown(listener_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  return received_;
}

void FakeService::serve() {
  const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  accepted_ = true;
  if (!script_.read_request) {
    ::close(fd);
    return;
  }
  char buffer[4096];
  while (received_.find('\n') == std::string::npos) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    received_.append(buffer, static_cast<std::size_t>(n));
  }
  bool first = true;
  for (const std::string& piece : script_.pieces) {
    if (!first) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    first = false;
    (void)::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
  }
  // Whatever else the client sends before it closes is recorded too; reading
  // it all also keeps our close from resetting the connection.
  ::shutdown(fd, SHUT_WR);
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    received_.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
}

}  // namespace kelvane::testing
