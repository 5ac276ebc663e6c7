#include "token/files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/file_descriptor.h"
#include "support/hex.h"
#include "support/read_up_to.h"
#include "support/write_loop.h"
#include "token/published.h"

namespace kelvane::token {
namespace {

Failure<std::string> failed(const std::string& path, std::string_view doing) {
  return fail(path + ": " + std::string(doing) + std::strerror(errno));
}

Result<void, std::string> write_whole(int fd, std::string_view content, const std::string& path) {
  const Result<void, io::Error> written = io::write_fully(fd, content);
  if (written.ok()) return {};
  // A write that took nothing has no errno of its own.
  errno = written.error().os_code() != 0 ? written.error().os_code() : EIO;
  return failed(path, "cannot write: ");
}

// Opened without blocking (a pipe's open waits for a writer), and refused
// unless it is a regular file; `status` is what fstat said of it.
Result<FileDescriptor, std::string> open_regular(const std::string& path, struct stat& status) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.is_open()) return failed(path, "");
  if (::fstat(fd.get(), &status) != 0) return failed(path, "");
  if (!S_ISREG(status.st_mode)) {
    Failure<std::string> refused = fail(path + ": not a regular file");
    errno = EINVAL;
    return refused;
  }
  return fd;
}

Result<std::string, std::string> read_whole(FileDescriptor fd, const std::string& path) {
  auto text = read_up_to(fd.get(), kMaxPublishedBytes);
  if (!text.ok()) {
    errno = text.error();
    return failed(path, "");
  }
  if (text.value().size() > kMaxPublishedBytes) {
    Failure<std::string> refused =
        fail(path + ": larger than " + std::to_string(kMaxPublishedBytes) + " bytes");
    errno = EFBIG;  // not a stale ENOENT: the callers take that for a missing file
    return refused;
  }
  return std::move(text).value();
}

}  // namespace

Result<std::string, std::string> read_small_file(const std::string& path) {
  struct stat status {};
  auto fd = open_regular(path, status);
  if (!fd.ok()) return fail(std::move(fd).error());
  return read_whole(std::move(fd).value(), path);
}

Result<std::string, std::string> read_private_file(const std::string& path) {
  struct stat status {};
  auto fd = open_regular(path, status);
  if (!fd.ok()) return fail(std::move(fd).error());
  if (status.st_uid != ::geteuid()) {
    Failure<std::string> refused = fail(path + ": owned by another user");
    errno = EPERM;
    return refused;
  }
  if ((status.st_mode & 077) != 0 && ::fchmod(fd.value().get(), 0600) != 0)
    return failed(path, "cannot set its mode: ");
  return read_whole(std::move(fd).value(), path);
}

Result<void, std::string> replace_file(const std::string& directory, std::string_view name,
                                       std::string_view content, mode_t mode) {
  const std::string path = directory + "/" + std::string(name);
  // A name of its own, so that two writers never share a temporary file.
  // Without random bytes the name is less likely to be new; O_EXCL then
  // fails rather than share a file.
  unsigned char nonce[8] = {};
  if (::getrandom(nonce, sizeof nonce, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof nonce))
    nonce[0] = static_cast<unsigned char>(::getpid());
  const std::string temporary = directory + "/." + std::string(name) + "." + hex::of_bytes(nonce);
  FileDescriptor fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd.is_open()) return failed(temporary, "cannot create: ");
  Result<void, std::string> done = write_whole(fd.get(), content, temporary);
  if (done.ok() && ::fchmod(fd.get(), mode) != 0) done = failed(temporary, "cannot set its mode: ");
  if (done.ok() && ::fsync(fd.get()) != 0) done = failed(temporary, "cannot sync: ");
  fd.close();  // synced: what close could still report is of no use
  if (done.ok() && ::rename(temporary.c_str(), path.c_str()) != 0)
    done = failed(path, "cannot replace: ");
  if (!done.ok()) {
    (void)::unlink(temporary.c_str());
    return done;
  }
  FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.is_open() || ::fsync(dir.get()) != 0) return failed(directory, "cannot sync: ");
  return {};
}

Result<void, std::string> ensure_own_directory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return failed(path, "cannot make: ");
  // The mode is set through a descriptor of the directory itself: a link
  // put at `path` is refused, never followed.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.is_open()) {
    if (errno == ELOOP || errno == ENOTDIR) return fail(path + ": not a directory");
    return failed(path, "");
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return failed(path, "");
  if (status.st_uid != ::geteuid()) return fail(path + ": owned by another user");
  if ((status.st_mode & 07777) != mode && ::fchmod(fd.get(), mode) != 0)
    return failed(path, "cannot set its mode: ");
  return {};
}

}  // namespace kelvane::token
