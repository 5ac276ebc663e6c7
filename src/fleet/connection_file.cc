#include "fleet/connection_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/file_descriptor.h"
#include "support/read_up_to.h"

namespace kelvane::fleet {
namespace {

// A connection string is a line; anything this long is a mistake.
constexpr std::size_t kMaxBytes = 64 * 1024;

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && std::strchr(" \t\r\n", text.front()) != nullptr) text.remove_prefix(1);
  while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr) text.remove_suffix(1);
  return text;
}

}  // namespace

Result<std::string, std::string> read_connection_file(const std::string& path) {
  // O_NOFOLLOW: the checks below are of the file itself, not of a link.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.is_open()) return fail(path + ": " + std::strerror(errno));
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return fail(path + ": " + std::strerror(errno));
  if (!S_ISREG(status.st_mode)) return fail(path + ": not a regular file");
  if (status.st_uid != ::geteuid())
    return fail(path + ": owned by uid " + std::to_string(status.st_uid) +
                ", not by this service's user (it may hold a password)");
  if ((status.st_mode & 077) != 0)
    return fail(path +
                ": group or others may read or write it (it may hold a password; chmod 600)");
  auto read = read_up_to(fd.get(), kMaxBytes);
  if (!read.ok()) return fail(path + ": " + std::strerror(read.error()));
  const std::string text = std::move(read).value();
  if (text.size() > kMaxBytes) return fail(path + ": larger than 64 KiB");
  const std::string_view conninfo = trimmed(text);
  if (conninfo.empty()) return fail(path + ": empty (it should hold a libpq connection string)");
  if (conninfo.find('\0') != std::string_view::npos) return fail(path + ": holds a NUL byte");
  return std::string(conninfo);
}

}  // namespace kelvane::fleet
