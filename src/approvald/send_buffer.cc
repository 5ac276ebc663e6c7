#include "send_buffer.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "support/retry.h"

namespace kelvane::approvald {

void SendBuffer::append(std::string_view text) {
  if (sent_ == text_.size()) {
    text_.clear();
    sent_ = 0;
  }
  text_.append(text);
}

void SendBuffer::replace(std::string text) {
  text_ = std::move(text);
  sent_ = 0;
}

void SendBuffer::skip(std::size_t count) {
  sent_ += std::min(count, unsent());
}

void SendBuffer::clear() {
  text_.clear();
  sent_ = 0;
}

void SendBuffer::compact() {
  text_.erase(0, sent_);
  sent_ = 0;
}

SendBuffer::Flush SendBuffer::flush(int fd) {
  while (sent_ < text_.size()) {
    const ssize_t n = repeat_if_interrupted([&] {
      return ::send(fd, text_.data() + sent_, text_.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
    });
    if (n < 0 && errno == EAGAIN) return Flush::Blocked;
    if (n <= 0) return Flush::Failed;
    sent_ += static_cast<std::size_t>(n);
  }
  text_.clear();
  sent_ = 0;
  return Flush::Done;
}

}  // namespace kelvane::approvald
