#include "service/listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "service/stale_probe.h"
#include "support/io_error.h"

namespace kelvane::service {
namespace {

constexpr std::size_t kSunPathSize = sizeof(sockaddr_un{}.sun_path);

std::string reason(int code) {
  return io::os_error_text(code);
}

// The path must have passed socket_path_problem.
void fill_address(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Clears the way for bind: succeeds when nothing is at the path any more.
// Only a socket that refuses connections is removed, and only if it is still
// the same file after the probe, so that a service that has just started
// there keeps its socket.
Result<void, std::string> remove_stale(const std::string& path) {
  struct stat before {};
  if (::lstat(path.c_str(), &before) != 0) {
    if (errno == ENOENT) return {};
    return fail(path + ": " + reason(errno));
  }
  if (!S_ISSOCK(before.st_mode))
    return fail(path + " exists and is not a socket; not replacing it");
  Result<Probe, io::Error> probe = probe_socket(path);
  if (!probe.ok()) {
    if (probe.error().os_code() == ENOENT) return {};  // removed meanwhile
    return fail("cannot tell whether a service still listens on " + path + " (" +
                reason(probe.error().os_code()) + "); leaving it alone");
  }
  if (probe.value() == Probe::Live)
    return fail("another service is already listening on " + path + "; leaving it alone");
  struct stat after {};
  if (::lstat(path.c_str(), &after) != 0 || !same_file(before, after))
    return fail(path + " changed while it was being checked; leaving it alone");
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    return fail("cannot remove the stale socket " + path + ": " + reason(errno));
  return {};
}

}  // namespace

std::optional<std::string> socket_path_problem(std::string_view path) {
  if (path.empty()) return "the socket path is empty";
  if (path.find('\0') != std::string_view::npos) return "the socket path contains a NUL byte";
  if (path.size() >= kSunPathSize) {
    return "the socket path is " + std::to_string(path.size()) +
           " bytes long; it must be shorter than " + std::to_string(kSunPathSize) + " bytes";
  }
  return std::nullopt;
}

Result<Listener, std::string> Listener::open(const std::string& path, mode_t mode) {
  sockaddr_un address;
  if (auto problem = socket_path_problem(path)) return fail(*problem + ": " + path);
  fill_address(path, address);
  KOA_TRY_VOID(remove_stale(path));

  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.is_open()) return fail("socket: " + reason(errno));
  // By default only this user may connect: whoever reaches the socket can
  // ask for approvals and read the tokens handed out.
  const mode_t old_mask = ::umask(~mode & 0777);
  const int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bind_errno = errno;
  ::umask(old_mask);
  if (bound != 0) return fail(path + ": " + reason(bind_errno));
  if (::listen(fd.get(), 8) != 0) {
    std::string error = path + ": " + reason(errno);
    ::unlink(path.c_str());
    return fail(std::move(error));
  }
  Listener listener;
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    listener.device_ = status.st_dev;
    listener.inode_ = status.st_ino;
  }
  listener.path_ = path;
  listener.fd_ = std::move(fd);
  return listener;
}

Listener::Listener(Listener&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::move(other.fd_)),
      device_(other.device_),
      inode_(other.inode_) {}

Listener& Listener::operator=(Listener&& other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    fd_ = std::move(other.fd_);
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

void Listener::close() noexcept {
  if (!fd_.is_open()) return;
  fd_.close();
  struct stat status {};
  if (::lstat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
}

}  // namespace kelvane::service
