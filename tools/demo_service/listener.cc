#include "listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "approval/connection.h"

namespace kelvane::demo {
namespace {

std::string reason(int code) { return io::os_error_text(code); }

bool fill_address(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos) {
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

// True when a socket file is left over from a run that is gone.
bool remove_stale(const std::string& path, std::string& error) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return true;
    error = path + ": " + reason(errno);
    return false;
  }
  if (!S_ISSOCK(status.st_mode)) {
    error = path + " exists and is not a socket; not replacing it";
    return false;
  }
  auto probe = approval::connect_unix_stream(path);
  if (probe.ok()) {
    error = "another service is already listening on " + path;
    return false;
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = "cannot remove the stale socket " + path + ": " + reason(errno);
    return false;
  }
  return true;
}

}  // namespace

bool Listener::open(const std::string& path, Listener& listener, std::string& error) {
  sockaddr_un address;
  if (!fill_address(path, address)) {
    error = "unusable socket path: " + path;
    return false;
  }
  if (!remove_stale(path, error)) return false;

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = "socket: " + reason(errno);
    return false;
  }
  // Only this user may connect: whoever reaches the socket can ask for
  // approvals and read the tokens handed out.
  const mode_t old_mask = ::umask(077);
  const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bind_errno = errno;
  ::umask(old_mask);
  if (bound != 0 || ::listen(fd, 8) != 0) {
    error = path + ": " + reason(bound != 0 ? bind_errno : errno);
    ::close(fd);
    return false;
  }
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    listener.device_ = status.st_dev;
    listener.inode_ = status.st_ino;
  }
  listener.path_ = path;
  listener.fd_ = fd;
  return true;
}

Listener::~Listener() {
  if (fd_ < 0) return;
  ::close(fd_);
  struct stat status {};
  if (::lstat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
}

}  // namespace kelvane::demo
