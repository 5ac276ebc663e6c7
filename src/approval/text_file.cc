#include "approval/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "support/file_descriptor.h"
#include "support/memory.h"
#include "support/out_of_memory.h"
#include "support/retry.h"
#include "support/utf8.h"
#include "support/whitespace.h"

namespace kelvane::approval {
namespace {

constexpr std::size_t kMinimumGrowth = 8192;

// One read into `out` past its current size, at most `room` bytes; -1 with
// errno on failure.
ssize_t read_some(int fd, char* out, std::size_t room) {
  return repeat_if_interrupted([&] { return ::read(fd, out, room); });
}

// The size the file system reports, as the first reservation; 0 if unknown.
std::size_t size_hint(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_size <= 0) return 0;
  return static_cast<std::size_t>(status.st_size);
}

// Reads to the end of the file. Runs out of memory by exception when the
// content cannot be given room.
Result<void, io::Error> read_to_end(int fd, std::string& content) {
  content.reserve(content.size() + size_hint(fd));
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

Result<std::string, io::Error> read_text_file(std::string_view path, std::size_t headroom) {
  // A path from the command line cannot hold a NUL; one from elsewhere must
  // not silently name a shorter path.
  if (path.find('\0') != std::string_view::npos) {
    return fail(io::Error::fixed(io::ErrorKind::InvalidInput,
                                 "paths must not contain interior null bytes"));
  }
  const std::string terminated(path);
  FileDescriptor file(
      repeat_if_interrupted([&] { return ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!file.is_open()) return fail(io::Error::last_os_error());

  std::string content;
  Result<void, io::Error> read = unless_out_of_memory(
      [&] {
        content.resize(headroom);
        return read_to_end(file.get(), content);
      },
      []() -> Result<void, io::Error> {
        return fail(io::Error::bare(io::ErrorKind::OutOfMemory));
      });
  file.close();
  KOA_TRY_VOID(std::move(read));
  if (!utf8::is_valid(std::string_view(content).substr(headroom))) {
    return fail(io::Error::fixed(io::ErrorKind::InvalidData, "stream did not contain valid UTF-8"));
  }
  return content;
}

Result<std::string, UsageError> read_text_arg(std::string_view option, std::string_view path,
                                              std::size_t headroom) {
  UsageError error;
  if (is_blank(path)) {
    error.output.append(option).append(" requires a path\n").append(kUsageText);
    return fail(std::move(error));
  }
  Result<std::string, io::Error> content = read_text_file(path, headroom);
  if (!content.ok()) {
    error.output.append("could not read ").append(option) += ' ';
    error.output.append(path).append(": ").append(content.error().to_string()) += '\n';
    return fail(std::move(error));
  }
  return std::move(content).value();
}

}  // namespace kelvane::approval
