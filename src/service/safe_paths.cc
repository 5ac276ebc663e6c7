#include "service/safe_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/file_descriptor.h"

namespace kelvane::service {
namespace {

std::string os_error(const std::string& path) {
  return path + ": " + std::strerror(errno);
}

// `path` and every folder above it, `path` first.
std::vector<std::string> folder_chain(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::vector<std::string> chain;
  for (;;) {
    chain.push_back(path);
    if (path == "/" || path.empty()) break;
    const std::size_t slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
  return chain;
}

std::optional<std::string> folder_owner_problem(const std::string& folder,
                                                const struct stat& status, bool sticky_ok) {
  const uid_t self = ::geteuid();
  if (status.st_uid != 0 && status.st_uid != self)
    return folder + " belongs to uid " + std::to_string(status.st_uid) +
           ", who could replace what is in it";
  // Group root is taken as root's own, as the system's folders take it.
  const bool others_write =
      (status.st_mode & S_IWOTH) != 0 || ((status.st_mode & S_IWGRP) != 0 && status.st_gid != 0);
  if (!others_write) return std::nullopt;
  if (sticky_ok && status.st_uid == 0 && (status.st_mode & S_ISVTX) != 0) return std::nullopt;
  return folder + " may be written by users other than root (mode " + [&] {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return std::string(text);
  }() + ")";
}

std::optional<std::string> chain_problem(const std::vector<std::string>& chain, Holding holding) {
  for (std::size_t i = 0; i < chain.size(); ++i) {
    struct stat status {};
    if (::lstat(chain[i].c_str(), &status) != 0) return os_error(chain[i]);
    // A link is judged by the folder holding it (next in the chain) and by
    // where it leads (the resolved chain).
    if (S_ISLNK(status.st_mode)) {
      if (status.st_uid != 0 && status.st_uid != ::geteuid())
        return chain[i] + " is a link of uid " + std::to_string(status.st_uid);
      continue;
    }
    if (!S_ISDIR(status.st_mode)) return chain[i] + " is not a folder";
    const bool sticky_ok = i > 0 || holding != Holding::Files;
    if (auto problem = folder_owner_problem(chain[i], status, sticky_ok)) return problem;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> unsafe_folder_problem(const std::string& folder, Holding holding) {
  if (!folder.starts_with('/')) return folder + " is not an absolute path";
  if (auto problem = chain_problem(folder_chain(folder), holding)) return problem;
  char resolved[PATH_MAX];
  if (::realpath(folder.c_str(), resolved) == nullptr) return os_error(folder);
  return chain_problem(folder_chain(resolved), holding);
}

Result<void, std::string> set_socket_group_and_mode(const std::string& path, dev_t device,
                                                    ino_t inode, gid_t group, mode_t mode) {
  const FileDescriptor node(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!node.is_open()) return fail(os_error(path));
  struct stat status {};
  if (::fstat(node.get(), &status) != 0) return fail(os_error(path));
  if (!S_ISSOCK(status.st_mode) || status.st_dev != device || status.st_ino != inode)
    return fail(path + " was replaced after it was made; leaving it alone");
  if (group != static_cast<gid_t>(-1) && status.st_gid != group &&
      ::fchownat(node.get(), "", static_cast<uid_t>(-1), group, AT_EMPTY_PATH) != 0)
    return fail(path + ": cannot give it to its group: " + std::strerror(errno));
  // bind gave the mode already, unless a default ACL of the folder changed
  // it; /proc/self/fd reaches the socket itself, not whatever is at `path`.
  if ((status.st_mode & 07777) != mode) {
    const std::string self = "/proc/self/fd/" + std::to_string(node.get());
    if (::chmod(self.c_str(), mode) != 0)
      return fail(path + ": cannot set its mode: " + std::strerror(errno));
  }
  return {};
}

namespace {

// Takes any permission beyond `mode` from the file that `node` (an O_PATH
// descriptor) stands for.
Result<void, std::string> narrow_mode(const std::string& path, int node, mode_t mode) {
  struct stat status {};
  if (::fstat(node, &status) != 0) return fail(os_error(path));
  if (S_ISLNK(status.st_mode)) return fail(path + " is a link; not following it");
  if (!S_ISREG(status.st_mode)) return fail(path + " is not a regular file");
  if (status.st_uid != ::geteuid()) return fail(path + " belongs to another user");
  if ((status.st_mode & 07777 & ~mode) == 0) return {};
  const std::string self = "/proc/self/fd/" + std::to_string(node);
  if (::chmod(self.c_str(), status.st_mode & 07777 & mode) != 0)
    return fail(path + ": cannot set its mode: " + std::strerror(errno));
  return {};
}

}  // namespace

Result<void, std::string> make_private_file(const std::string& path, mode_t mode, bool create) {
  // An O_PATH descriptor, because closing it releases no lock: SQLite's
  // connections of this process keep their POSIX locks on the same files.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const FileDescriptor node(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (node.is_open()) return narrow_mode(path, node.get(), mode);
    if (errno != ENOENT) return fail(os_error(path));
    if (!create) return {};
    // A new file: nobody holds a lock on it yet.
    const FileDescriptor made(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (made.is_open()) return {};
    if (errno != EEXIST) return fail(os_error(path));
  }
  return fail(path + " keeps changing; leaving it alone");
}

}  // namespace kelvane::service
