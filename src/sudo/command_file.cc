#include "sudo/command_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string_view>

#include "sudo/sha256.h"
#include "sudo/shell_quote.h"
#include "support/retry.h"

namespace kelvane::sudo {
namespace {

// As many as the kernel follows before it gives up with ELOOP.
constexpr int kMaxLinks = 40;

std::deque<std::string> components(std::string_view path) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) parts.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string joined(const std::vector<std::string>& parts) {
  if (parts.empty()) return "/";
  std::string path;
  for (const std::string& part : parts) path.append(1, '/').append(part);
  return path;
}

std::string_view kind_of(mode_t mode) {
  if (S_ISLNK(mode)) return "the symbolic link";
  if (S_ISDIR(mode)) return "the directory";
  return "the file";
}

// Why someone other than root could change this entry; nullopt when nobody
// could. A link's own mode means nothing: only its owner and its directory
// decide who can re-point it.
std::optional<std::string> changeable_by_others(const std::string& path, const struct stat& st) {
  const std::string what = std::string(kind_of(st.st_mode)) + " " + shell_quote(path);
  if (st.st_uid != 0) return what + " is owned by " + owner_words(st.st_uid) + ", not root";
  if (S_ISLNK(st.st_mode)) return std::nullopt;
  if ((st.st_mode & S_IWOTH) != 0)
    return what + " is writable by others (mode " + mode_text(st.st_mode) + ")";
  if ((st.st_mode & S_IWGRP) != 0) {
    return what + " is writable by its group, gid " + std::to_string(st.st_gid) + " (mode " +
           mode_text(st.st_mode) + ")";
  }
  return std::nullopt;
}

Failure<std::string> cannot_examine(const std::string& path, int error) {
  return fail("cannot examine " + shell_quote(path) +
              " on the way to the command: " + std::strerror(error));
}

Result<std::string, std::string> read_link(const std::string& path, const struct stat& st) {
  std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
  const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
  if (n < 0) return cannot_examine(path, errno);
  // A link re-pointed since lstat to a longer target: refuse rather than guess.
  if (static_cast<std::size_t>(n) >= target.size()) return cannot_examine(path, EAGAIN);
  target.resize(static_cast<std::size_t>(n));
  return target;
}

}  // namespace

std::string mode_text(mode_t mode) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04o", static_cast<unsigned>(mode & 07777));
  return text.data();
}

std::string owner_words(uid_t uid) {
  std::array<char, 4096> buffer{};
  struct passwd entry {};
  struct passwd* found = nullptr;
  const std::string number = "uid " + std::to_string(uid);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return number;
  }
  return shell_quote(found->pw_name) + " (" + number + ")";
}

Result<CommandFile, std::string> examine_command_file(const std::string& path) {
  CommandFile file;
  struct stat st {};
  if (::lstat("/", &st) != 0) return cannot_examine("/", errno);
  file.changeable = changeable_by_others("/", st);
  std::vector<std::string> done;  // where the walk is, physically
  std::deque<std::string> todo = components(path);
  while (!todo.empty()) {
    const std::string name = std::move(todo.front());
    todo.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      if (!done.empty()) done.pop_back();
      continue;
    }
    done.push_back(name);
    const std::string here = joined(done);
    if (::lstat(here.c_str(), &st) != 0) return cannot_examine(here, errno);
    if (!file.changeable) file.changeable = changeable_by_others(here, st);
    if (!S_ISLNK(st.st_mode)) continue;
    if (file.links.size() == kMaxLinks) return cannot_examine(path, ELOOP);
    KOA_TRY(target, read_link(here, st));
    done.pop_back();
    if (target.starts_with('/')) done.clear();
    std::deque<std::string> more = components(target);
    todo.insert(todo.begin(), more.begin(), more.end());
    file.links.push_back({here, std::move(target)});
  }
  file.resolved = joined(done);
  return file;
}

Result<FileFacts, std::string> hash_command_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail("cannot read " + shell_quote(path) + ": " + std::strerror(errno));
  struct stat st {};
  FileFacts facts;
  Sha256 sha;
  std::string error;
  if (::fstat(fd, &st) != 0) {
    error = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
  } else {
    std::array<char, 65536> buffer;
    for (;;) {
      const ssize_t n =
          repeat_if_interrupted([&] { return ::read(fd, buffer.data(), buffer.size()); });
      if (n < 0) error = std::strerror(errno);
      if (n <= 0) break;
      sha.update(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
  }
  ::close(fd);
  if (!error.empty()) return fail("cannot read " + shell_quote(path) + ": " + error);
  facts.owner = st.st_uid;
  facts.mode = st.st_mode & 07777;
  facts.sha256 = sha.hex_digest();
  return facts;
}

}  // namespace kelvane::sudo
