#include "service/peer.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "support/file_descriptor.h"
#include "support/read_up_to.h"

namespace kelvane::service {
namespace {

std::string proc_path(pid_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

// A small /proc file, whole; nullopt if it cannot be read.
std::optional<std::string> read_small_file(const std::string& path) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) return std::nullopt;
  auto text = read_up_to(fd.get(), 65536);
  if (!text.ok()) return std::nullopt;
  return std::move(text).value();
}

std::string read_link(const std::string& path) {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
  if (n <= 0) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

}  // namespace

pid_t parent_from_stat(std::string_view stat) {
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return 0;
  std::size_t i = close + 1;
  while (i < stat.size() && stat[i] == ' ') ++i;
  while (i < stat.size() && stat[i] != ' ') ++i;  // state
  pid_t ppid = 0;
  for (++i; i < stat.size() && stat[i] >= '0' && stat[i] <= '9'; ++i) {
    if (ppid > 100000000) return 0;
    ppid = ppid * 10 + (stat[i] - '0');
  }
  return ppid;
}

std::optional<ProcessInfo> describe_process(pid_t pid, uid_t uid) {
  if (pid <= 0) return std::nullopt;
  struct stat status {};
  if (::stat(proc_path(pid, "").c_str(), &status) != 0 || status.st_uid != uid) return std::nullopt;
  ProcessInfo info;
  if (auto comm = read_small_file(proc_path(pid, "comm"))) {
    if (!comm->empty() && comm->back() == '\n') comm->pop_back();
    info.name = std::move(*comm);
  }
  info.executable = read_link(proc_path(pid, "exe"));
  if (auto stat_text = read_small_file(proc_path(pid, "stat")))
    info.parent = parent_from_stat(*stat_text);
  return info;
}

Peer identify_peer(int connection) {
  Peer peer;
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return peer;
  }
  peer.known = true;
  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  peer.user = user_name_of(credentials.uid);
  peer.process = describe_process(credentials.pid, credentials.uid);
  if (peer.process && peer.process->parent > 0) {
    // The parent may run as anyone (sudo, a shell of another user): only
    // check that it exists.
    struct stat status {};
    if (::stat(proc_path(peer.process->parent, "").c_str(), &status) == 0) {
      peer.parent = describe_process(peer.process->parent, status.st_uid);
    }
  }
  return peer;
}

std::string user_name_of(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return {};
  return found->pw_name;
}

}  // namespace kelvane::service
