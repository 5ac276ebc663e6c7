// What the daemon owes a peer on a non-blocking socket: kept until the
// socket has taken it, sent as far as the socket takes it at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvane::approvald {

class SendBuffer {
 public:
  enum class Flush {
    Done,     // everything is sent (and the buffer is empty)
    Blocked,  // the socket is full: send again once it is writable
    Failed,   // the peer is gone; what is unsent stays (clear() drops it)
  };

  // Adds `text` after what is unsent.
  void append(std::string_view text);
  // Puts `text` in place of whatever was there, none of it sent.
  void replace(std::string text);
  // Counts the first `count` unsent bytes as sent (another thread sent them
  // on a duplicate of the socket).
  void skip(std::size_t count);
  void clear();
  // Lets go of what was sent: the buffer then holds what is unsent only.
  void compact();
  Flush flush(int fd);

  std::size_t unsent() const noexcept { return text_.size() - sent_; }
  std::string_view unsent_text() const noexcept { return std::string_view(text_).substr(sent_); }

 private:
  std::string text_;
  std::size_t sent_ = 0;
};

}  // namespace kelvane::approvald
