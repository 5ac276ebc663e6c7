#include "approval/io_error.h"

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
[[maybe_unused]] const char* strerror_result(const char* result, const char*) { return result; }

// Length of the longest start of a well-formed sequence at `i`, at least 1:
// the piece that one U+FFFD stands for (Unicode's "maximal subpart").
std::size_t invalid_piece_length(std::string_view bytes, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char b0 = byte(i);
  std::size_t continuations = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    continuations = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    continuations = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    continuations = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  }
  std::size_t length = 1;
  while (length <= continuations && i + length < bytes.size()) {
    const unsigned char b = byte(i + length);
    const bool fits = length == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!fits) break;
    ++length;
  }
  return length;
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

std::string to_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t len = 0;
    const char32_t c = utf8::decode(bytes, i, len);
    // A real U+FFFD decodes with length 3; length 1 means a malformed byte.
    if (c == 0xFFFD && len == 1) {
      out += "\xEF\xBF\xBD";
      i += invalid_piece_length(bytes, i);
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string os_error_text(int code) {
  char buffer[128] = {};
  const char* text = strerror_result(strerror_r(code, buffer, sizeof buffer), buffer);
  if (text == nullptr) return "Unknown error " + std::to_string(code);
  // At most 127 bytes, as the 128-byte buffer would hold.
  return to_valid_utf8(std::string_view(text, strnlen(text, sizeof buffer - 1)));
}

Error Error::os(int code) noexcept {
  Error e(Form::Os, ErrorKind::Other);
  e.code_ = code;
  if (code == EINTR) e.kind_ = ErrorKind::Interrupted;
  return e;
}

Error Error::last_os_error() noexcept { return os(errno); }

Error Error::fixed(ErrorKind kind, std::string_view message) noexcept {
  Error e(Form::Fixed, kind);
  e.message_ = message;
  return e;
}

Error Error::from_json(json::Error error) {
  const ErrorKind kind = error.is_eof() ? ErrorKind::UnexpectedEof : ErrorKind::InvalidData;
  Error e(Form::Custom, kind);
  e.inner_ = std::make_unique<json::Error>(std::move(error));
  return e;
}

Error Error::bare(ErrorKind kind) noexcept { return Error(Form::Kind, kind); }

Error Error::message(ErrorKind kind, std::string text) {
  Error e(Form::Owned, kind);
  e.owned_ = std::move(text);
  return e;
}

ErrorKind Error::kind() const noexcept { return kind_; }

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
    case Form::Custom:
      return inner_->to_string();
    case Form::Kind:
      return std::string(kind_description(kind_));
    case Form::Owned:
      return owned_;
  }
  return {};
}

}  // namespace kelvane::io
