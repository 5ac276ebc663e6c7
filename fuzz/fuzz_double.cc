// Any 8 bytes as a double: its text must read back to the same bits, carry
// the shortest digits (the same that std::to_chars chooses) and follow the
// layout rules: a "." or an "e" always, the exponent form exactly when the
// decimal exponent E is below -5 or above 15, at most 24 bytes, and "null"
// for NaN and the infinities.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/internal/testing.h"

namespace {

// The shortest digits (no leading or trailing zeros) and decimal exponent of
// a finite, non-zero magnitude, as std::to_chars gives them.
struct Decimal {
  std::string digits;
  int exponent;
};

Decimal shortest(double magnitude) {
  char buf[64];
  const auto [end, ec] =
      std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
  if (ec != std::errc()) std::abort();
  const std::string_view text(buf, static_cast<std::size_t>(end - buf));
  const std::size_t e = text.find('e');
  Decimal d;
  for (const char c : text.substr(0, e)) {
    if (c != '.') d.digits += c;
  }
  d.exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  return d;
}

// The digits and exponent that the writer's text spells, checking its form.
Decimal read_layout(std::string_view text) {
  Decimal d;
  const std::size_t e = text.find('e');
  if (e != std::string_view::npos) {
    const std::string_view mantissa = text.substr(0, e);
    const std::string_view exponent = text.substr(e + 1);
    if (exponent.size() < 2 || (exponent[0] != '+' && exponent[0] != '-')) std::abort();
    if (exponent[1] == '0') std::abort();  // no leading zeros
    if (mantissa.size() == 2 || (mantissa.size() > 2 && mantissa[1] != '.')) std::abort();
    for (const char c : mantissa) {
      if (c != '.') d.digits += c;
    }
    d.exponent = std::atoi(std::string(exponent).c_str());
    if (d.exponent >= -5 && d.exponent <= 15) std::abort();
    if (d.digits.size() > 1 && d.digits.back() == '0') std::abort();
    return d;
  }
  const std::size_t point = text.find('.');
  if (point == std::string_view::npos || point == 0 || point + 1 == text.size()) std::abort();
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = text.substr(point + 1);
  if (whole == "0") {
    // 0.000ddd: E from -1 down to -5.
    const std::size_t zeros = fraction.find_first_not_of('0');
    if (zeros == std::string_view::npos || zeros > 4) std::abort();
    d.digits = std::string(fraction.substr(zeros));
    d.exponent = -static_cast<int>(zeros) - 1;
    if (d.digits.back() == '0') std::abort();
    return d;
  }
  if (whole[0] == '0') std::abort();
  d.exponent = static_cast<int>(whole.size()) - 1;
  if (d.exponent > 15) std::abort();
  d.digits = std::string(whole) + std::string(fraction == "0" ? "" : fraction);
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  if (fraction != "0" && fraction.back() == '0') std::abort();
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size != sizeof(double)) return 0;
  double value;
  std::memcpy(&value, data, sizeof value);
  char buf[kelvane::json::kMaxDoubleText];
  const std::size_t n = kelvane::json::double_text(value, buf);
  if (n == 0 || n > kelvane::json::kMaxDoubleText) std::abort();
  const std::string_view text(buf, n);

  if (!std::isfinite(value)) {
    if (text != "null") std::abort();
    return 0;
  }
  double back = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
  if (ec != std::errc() || end != text.data() + text.size()) std::abort();
  std::uint64_t want, got;
  std::memcpy(&want, &value, sizeof want);
  std::memcpy(&got, &back, sizeof got);
  if (want != got) std::abort();
  if (text.find_first_of(".e") == std::string_view::npos) std::abort();

  if (value == 0) {
    if (text != (std::signbit(value) ? "-0.0" : "0.0")) std::abort();
    return 0;
  }
  const bool negative = std::signbit(value);
  if (negative != (text[0] == '-')) std::abort();
  const Decimal written = read_layout(negative ? text.substr(1) : text);
  const Decimal expected = shortest(std::fabs(value));
  if (written.digits != expected.digits || written.exponent != expected.exponent) std::abort();
  return 0;
}
