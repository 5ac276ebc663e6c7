// The SSH wire encoding (big-endian uint32, length-prefixed strings, mpint)
// that keys, signatures, the detached signature blob and the agent's
// messages are made of. The reader never reads past its input: every length
// is checked against what is left before it is used.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::sshsig {

class WireReader {
 public:
  explicit WireReader(std::string_view bytes) noexcept : rest_(bytes) {}

  // Each fails with a phrase naming what was cut short (e.g. "a string
  // longer than what follows it"), and then leaves the reader as it was.
  Result<std::uint8_t, std::string> byte();
  Result<std::uint32_t, std::string> uint32();
  Result<std::uint64_t, std::string> uint64();
  Result<std::string_view, std::string> string();
  // `count` raw bytes.
  Result<std::string_view, std::string> bytes(std::size_t count);
  // An mpint that must be non-negative and at most `max_bytes` long once its
  // sign byte is dropped; its magnitude, without leading zero bytes.
  Result<std::string_view, std::string> positive_mpint(std::size_t max_bytes);

  bool at_end() const noexcept { return rest_.empty(); }
  std::string_view rest() const noexcept { return rest_; }

 private:
  std::string_view rest_;
};

class WireWriter {
 public:
  void byte(std::uint8_t value) { out_ += static_cast<char>(value); }
  void uint32(std::uint32_t value);
  void uint64(std::uint64_t value);
  void string(std::string_view value);
  void raw(std::string_view value) { out_ += value; }
  // `magnitude` big-endian, leading zeros allowed: written as the shortest
  // non-negative mpint.
  void mpint(std::string_view magnitude);

  const std::string& bytes() const& noexcept { return out_; }
  std::string bytes() && noexcept { return std::move(out_); }

 private:
  std::string out_;
};

}  // namespace kelvane::sshsig
