// The one owner of an open descriptor: files, sockets and listeners alike.
#pragma once

#include <unistd.h>

#include <utility>

namespace kelvane {

class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  int get() const noexcept { return fd_; }
  bool is_open() const noexcept { return fd_ >= 0; }

  // Closes now, if still open. An interrupted close has still released the
  // descriptor on Linux, so it is never repeated: a repeat could close a
  // descriptor that another part of the program opened meanwhile. Its
  // result is of no use to anyone.
  void close() noexcept {
    if (fd_ < 0) return;
    (void)::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace kelvane
