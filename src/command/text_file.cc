#include "command/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <stdexcept>

#include "support/memory.h"
#include "support/utf8.h"
#include "support/whitespace.h"

namespace kelvane::command {
namespace {

constexpr std::size_t kMinimumGrowth = 8192;

// Closes the file on every way out of read_text_file.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { (void)::close(fd_); }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// One read into `out` past its current size, at most `room` bytes; -1 with
// errno on failure. Repeats interrupted reads.
ssize_t read_some(int fd, char* out, std::size_t room) {
  for (;;) {
    const ssize_t n = ::read(fd, out, room);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// The size the file system reports, as the first reservation; 0 if unknown.
std::size_t size_hint(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_size <= 0) return 0;
  return static_cast<std::size_t>(status.st_size);
}

// Reads to the end of the file. Throws std::bad_alloc or std::length_error
// when the content cannot be given room.
Result<void, io::Error> read_to_end(int fd, std::string& content) {
  content.reserve(size_hint(fd));
  prefer_huge_pages(content.data(), content.capacity());
  for (;;) {
    if (content.size() == content.capacity()) {
      // The reservation may have been exact: a small probe tells the end of
      // the file apart from more content without doubling the buffer.
      char probe[64];
      const ssize_t n = read_some(fd, probe, sizeof probe);
      if (n < 0) return fail(io::Error::last_os_error());
      if (n == 0) return {};
      content.reserve(std::max(content.capacity() * 2, content.size() + kMinimumGrowth));
      prefer_huge_pages(content.data(), content.capacity());
      content.append(probe, static_cast<std::size_t>(n));
      continue;
    }
    const std::size_t old_size = content.size();
    content.resize(content.capacity());
    const ssize_t n = read_some(fd, content.data() + old_size, content.size() - old_size);
    content.resize(old_size + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n < 0) return fail(io::Error::last_os_error());
    if (n == 0) return {};
  }
}

}  // namespace

Result<std::string, io::Error> read_text_file(std::string_view path) {
  // A path from the command line cannot hold a NUL; one from elsewhere must
  // not silently name a shorter path.
  if (path.find('\0') != std::string_view::npos) {
    return fail(io::Error::fixed(io::ErrorKind::InvalidInput,
                                 "paths must not contain interior null bytes"));
  }
  const std::string terminated(path);
  int fd;
  do {
    fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(io::Error::last_os_error());

  std::string content;
  {
    FileDescriptor file(fd);
    try {
      Result<void, io::Error> read = read_to_end(file.get(), content);
      if (!read.ok()) return fail(std::move(read).error());
    } catch (const std::bad_alloc&) {
      return fail(io::Error::bare(io::ErrorKind::OutOfMemory));
    } catch (const std::length_error&) {
      return fail(io::Error::bare(io::ErrorKind::OutOfMemory));
    }
  }
  if (!utf8::is_valid(content)) {
    return fail(io::Error::fixed(io::ErrorKind::InvalidData, "stream did not contain valid UTF-8"));
  }
  return content;
}

Result<std::string, UsageError> read_text_arg(std::string_view option, std::string_view path) {
  UsageError error;
  if (is_blank(path)) {
    error.output.append(option).append(" requires a path\n").append(kUsageText);
    return fail(std::move(error));
  }
  Result<std::string, io::Error> content = read_text_file(path);
  if (!content.ok()) {
    error.output.append("could not read ").append(option) += ' ';
    error.output.append(path).append(": ").append(content.error().to_string()) += '\n';
    return fail(std::move(error));
  }
  return std::move(content).value();
}

}  // namespace kelvane::command
