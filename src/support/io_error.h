// The error of every operating-system and stream operation. Only its display
// text is ever shown; its kind lets read and send loops recognise an
// interrupted call.
#pragma once

#include <string>
#include <string_view>

namespace kelvane::io {

enum class ErrorKind {
  InvalidInput,
  WriteZero,
  InvalidData,
  UnexpectedEof,
  Interrupted,
  OutOfMemory,
  Other,
};

// The description of a kind, as a bare Kind error displays it.
std::string_view kind_description(ErrorKind kind) noexcept;

class Error {
 public:
  // Os form: an operating-system error number, shown with its platform text.
  static Error os(int code) noexcept;
  // Os form from the current errno.
  static Error last_os_error() noexcept;
  // Fixed-message form; `message` must outlive the error (a literal).
  static Error fixed(ErrorKind kind, std::string_view message) noexcept;
  // Bare kind form.
  static Error bare(ErrorKind kind) noexcept;
  // Message form with a text of its own, for refusals that name what they
  // refused (a path, a uid) and for errors of a layer above that carry their
  // own text (see approval::read_error).
  static Error message(ErrorKind kind, std::string text);

  ErrorKind kind() const noexcept;
  // The OS error number, or 0 for the other forms.
  int os_code() const noexcept { return form_ == Form::Os ? code_ : 0; }

  std::string to_string() const;

 private:
  enum class Form { Os, Fixed, Kind, Owned };
  Error(Form form, ErrorKind kind) noexcept : form_(form), kind_(kind) {}

  Form form_;
  ErrorKind kind_;
  int code_ = 0;
  std::string_view message_;
  std::string owned_;
};

// The platform's text for an error number: what strerror_r writes into a
// 128-byte buffer, with malformed UTF-8 replaced by U+FFFD.
std::string os_error_text(int code);

}  // namespace kelvane::io
