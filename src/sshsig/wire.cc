#include "sshsig/wire.h"

namespace kelvane::sshsig {

Result<std::uint8_t, std::string> WireReader::byte() {
  if (rest_.empty()) return fail(std::string("a byte missing at the end"));
  const auto value = static_cast<std::uint8_t>(rest_.front());
  rest_.remove_prefix(1);
  return value;
}

namespace {

// A big-endian number from the front of `rest`, taken off it.
template <class Number>
Result<Number, std::string> read_number(std::string_view& rest) {
  if (rest.size() < sizeof(Number)) return fail(std::string("a number cut short at the end"));
  Number value = 0;
  for (std::size_t i = 0; i < sizeof(Number); ++i)
    value = static_cast<Number>(value << 8) | static_cast<unsigned char>(rest[i]);
  rest.remove_prefix(sizeof(Number));
  return value;
}

}  // namespace

Result<std::uint32_t, std::string> WireReader::uint32() {
  return read_number<std::uint32_t>(rest_);
}

Result<std::uint64_t, std::string> WireReader::uint64() {
  return read_number<std::uint64_t>(rest_);
}

Result<std::string_view, std::string> WireReader::bytes(std::size_t count) {
  if (rest_.size() < count) return fail(std::string("fewer bytes than announced"));
  const std::string_view value = rest_.substr(0, count);
  rest_.remove_prefix(count);
  return value;
}

Result<std::string_view, std::string> WireReader::string() {
  const std::string_view before = rest_;
  KOA_TRY(length, uint32());
  if (rest_.size() < length) {
    rest_ = before;
    return fail(std::string("a string longer than what follows it"));
  }
  return bytes(length);
}

Result<std::string_view, std::string> WireReader::positive_mpint(std::size_t max_bytes) {
  const std::string_view before = rest_;
  KOA_TRY(value, string());
  // The one encoding of a number: no sign bit set, and a leading zero byte
  // only where the next byte's high bit would otherwise read as a sign.
  const auto first = [&](std::size_t i) { return static_cast<unsigned char>(value[i]); };
  std::string_view problem;
  if (!value.empty() && (first(0) & 0x80) != 0) {
    problem = "a negative number";
  } else if (!value.empty() && first(0) == 0 && (value.size() == 1 || (first(1) & 0x80) == 0)) {
    problem = "a number with a needless leading zero";
  } else {
    if (!value.empty() && first(0) == 0) value.remove_prefix(1);
    if (value.size() > max_bytes) problem = "a number too large";
  }
  if (!problem.empty()) {
    rest_ = before;
    return fail(std::string(problem));
  }
  return value;
}

void WireWriter::uint32(std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out_ += static_cast<char>((value >> shift) & 0xFF);
}

void WireWriter::uint64(std::uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out_ += static_cast<char>((value >> shift) & 0xFF);
}

void WireWriter::string(std::string_view value) {
  uint32(static_cast<std::uint32_t>(value.size()));
  out_ += value;
}

void WireWriter::mpint(std::string_view magnitude) {
  while (!magnitude.empty() && magnitude.front() == '\0') magnitude.remove_prefix(1);
  const bool sign_byte = !magnitude.empty() && (static_cast<unsigned char>(magnitude[0]) & 0x80);
  uint32(static_cast<std::uint32_t>(magnitude.size() + (sign_byte ? 1 : 0)));
  if (sign_byte) out_ += '\0';
  out_ += magnitude;
}

}  // namespace kelvane::sshsig
