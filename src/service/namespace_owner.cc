#include "service/namespace_owner.h"

#include <fcntl.h>
#include <linux/nsfs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/file_descriptor.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77  // Linux 6.5
#endif

namespace kelvane::service {
namespace {

// The kernel nests user namespaces 32 deep at most.
constexpr int kMaxDepth = 40;

struct NamespaceId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const NamespaceId&) const = default;
};

std::optional<NamespaceId> id_of(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::nullopt;
  return NamespaceId{status.st_dev, status.st_ino};
}

std::optional<NamespaceId> own_namespace() {
  const FileDescriptor fd(::open("/proc/self/ns/user", O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) return std::nullopt;
  return id_of(fd.get());
}

// A pidfd of the process that connected: the socket's own when the kernel
// has SO_PEERPIDFD, else one opened by pid.
FileDescriptor peer_pidfd(int connection, pid_t pid) {
  int fd = -1;
  socklen_t size = sizeof fd;
  if (::getsockopt(connection, SOL_SOCKET, SO_PEERPIDFD, &fd, &size) == 0 && fd >= 0)
    return FileDescriptor(fd);
  return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

// Whether `pid` runs in the daemon's own user namespace, when its namespace
// cannot be opened (a daemon that is not root may not): its uid_map, read
// from here, is then the same as the daemon's own.
bool same_map_as_ours(pid_t pid) {
  const auto map_of = [](const std::string& path) -> std::optional<std::string> {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.is_open()) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  };
  const auto theirs = map_of("/proc/" + std::to_string(pid) + "/uid_map");
  return theirs && theirs == map_of("/proc/self/uid_map");
}

bool out_of_descriptors() {
  return errno == EMFILE || errno == ENFILE;
}

bool has_exited(int pidfd) {
  if (pidfd < 0) return false;
  pollfd p{pidfd, POLLIN, 0};
  return ::poll(&p, 1, 0) != 0;
}

}  // namespace

std::string describe(const Accountable& owner) {
  if (owner.namespace_inode != 0) return "user namespace " + std::to_string(owner.namespace_inode);
  return "uid " + std::to_string(owner.uid);
}

Result<std::optional<Accountable>, std::string> namespace_owner(int connection, pid_t pid) {
  static const std::optional<NamespaceId> own = own_namespace();
  if (!own) return fail(std::string("cannot read this process's user namespace"));
  if (pid <= 0) return fail(std::string("the kernel gives no process for the connection"));
  const FileDescriptor pidfd = peer_pidfd(connection, pid);
  if (!pidfd.is_open() && out_of_descriptors()) return fail(std::string(kOutOfDescriptors));
  // ESRCH: gone. Another error (a kernel or a system call filter without
  // pidfds): asked by pid alone.
  if (!pidfd.is_open() && errno == ESRCH)
    return fail(std::string("the process that connected is gone"));
  const std::string path = "/proc/" + std::to_string(pid) + "/ns/user";
  FileDescriptor ns(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!ns.is_open() && out_of_descriptors()) return fail(std::string(kOutOfDescriptors));
  const int open_error = errno;
  if (!ns.is_open() && (open_error == EACCES || open_error == EPERM) && same_map_as_ours(pid) &&
      !has_exited(pidfd.get()))
    return std::optional<Accountable>{};
  // The process still running after the open: /proc/PID was that process.
  if (!ns.is_open() || has_exited(pidfd.get()))
    return fail(std::string("the process that connected is gone"));
  auto id = id_of(ns.get());
  if (!id) return fail(path + ": " + std::strerror(errno));
  if (*id == *own) return std::optional<Accountable>{};
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    FileDescriptor parent(::ioctl(ns.get(), NS_GET_PARENT));
    if (!parent.is_open() && out_of_descriptors()) return fail(std::string(kOutOfDescriptors));
    if (!parent.is_open()) {
      // EPERM: the chain leaves by a namespace above the daemon's, so no
      // user of ours made it; it is an owner of its own.
      if (errno != EPERM) return fail(std::string("NS_GET_PARENT: ") + std::strerror(errno));
      return std::optional<Accountable>{Accountable{0, static_cast<std::uint64_t>(id->ino)}};
    }
    const auto parent_id = id_of(parent.get());
    if (!parent_id) return fail(std::string("fstat: ") + std::strerror(errno));
    if (*parent_id == *own) {
      uid_t owner = 0;
      if (::ioctl(ns.get(), NS_GET_OWNER_UID, &owner) != 0)
        return fail(std::string("NS_GET_OWNER_UID: ") + std::strerror(errno));
      if (owner == 0)
        return std::optional<Accountable>{Accountable{0, static_cast<std::uint64_t>(id->ino)}};
      return std::optional<Accountable>{Accountable{owner, 0}};
    }
    ns = std::move(parent);
    id = parent_id;
  }
  return fail(std::string("the user namespace chain is deeper than the kernel allows"));
}

}  // namespace kelvane::service
