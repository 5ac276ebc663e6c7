#include "support/io_error.h"

#include <cerrno>
#include <cstring>

#include "support/utf8.h"

namespace kelvane::io {
namespace {

// glibc offers two strerror_r: the POSIX one returning int and the GNU one
// returning a pointer that may or may not be the buffer. Overloads on the
// return type pick whichever this build sees.
[[maybe_unused]] const char* strerror_result(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* result, const char*) {
  return result;
}

}  // namespace

std::string_view kind_description(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::InvalidInput:
      return "invalid input parameter";
    case ErrorKind::WriteZero:
      return "write zero";
    case ErrorKind::InvalidData:
      return "invalid data";
    case ErrorKind::UnexpectedEof:
      return "unexpected end of file";
    case ErrorKind::Interrupted:
      return "operation interrupted";
    case ErrorKind::OutOfMemory:
      return "out of memory";
    case ErrorKind::Other:
      return "other error";
  }
  return "other error";
}

std::string os_error_text(int code) {
  char buffer[128] = {};
  const char* text = strerror_result(strerror_r(code, buffer, sizeof buffer), buffer);
  if (text == nullptr) return "Unknown error " + std::to_string(code);
  // At most 127 bytes, as the 128-byte buffer would hold.
  return utf8::replace_invalid(std::string_view(text, strnlen(text, sizeof buffer - 1)));
}

Error Error::os(int code) noexcept {
  Error e(Form::Os, ErrorKind::Other);
  e.code_ = code;
  if (code == EINTR) e.kind_ = ErrorKind::Interrupted;
  return e;
}

Error Error::last_os_error() noexcept {
  return os(errno);
}

Error Error::fixed(ErrorKind kind, std::string_view message) noexcept {
  Error e(Form::Fixed, kind);
  e.message_ = message;
  return e;
}

Error Error::bare(ErrorKind kind) noexcept {
  return Error(Form::Kind, kind);
}

Error Error::message(ErrorKind kind, std::string text) {
  Error e(Form::Owned, kind);
  e.owned_ = std::move(text);
  return e;
}

ErrorKind Error::kind() const noexcept {
  return kind_;
}

std::string Error::to_string() const {
  switch (form_) {
    case Form::Os: {
      std::string out = os_error_text(code_);
      out += " (os error ";
      out += std::to_string(code_);
      out += ')';
      return out;
    }
    case Form::Fixed:
      return std::string(message_);
    case Form::Kind:
      return std::string(kind_description(kind_));
    case Form::Owned:
      return owned_;
  }
  return {};
}

}  // namespace kelvane::io
