// The double text against the standard library's shortest round-trip
// conversion, an independent exact reference: the digits must be the same
// (hence equally short and equally near), the text must read back to the
// same bits, and the layout must follow the exponent rules.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include "json/internal/testing.h"

#ifndef KOA_DOUBLE_SAMPLES
#define KOA_DOUBLE_SAMPLES 20000
#endif

namespace kelvane::json {
namespace {

constexpr std::uint32_t kSamples = KOA_DOUBLE_SAMPLES;

// The reference digits from "d.ddde+XX".
Decimal reference_decimal(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::uint64_t digits = 0;
  int fraction_digits = 0;
  const char* p = buf;
  bool after_point = false;
  for (; *p != 'e'; ++p) {
    if (*p == '.') {
      after_point = true;
      continue;
    }
    digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    if (after_point) ++fraction_digits;
  }
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), r.ptr, exponent);
  Decimal d{digits, exponent - fraction_digits};
  while (d.digits % 10 == 0) {
    d.digits /= 10;
    ++d.exponent;
  }
  return d;
}

// Empty when `v` is written correctly, else what is wrong.
std::string check(double v) {
  char text[kMaxDoubleText + 8];
  std::memset(text, '#', sizeof text);
  const std::size_t n = double_text(v, text);
  const std::string_view written(text, n);
  if (n > kMaxDoubleText || text[kMaxDoubleText] != '#') return "too long: " + std::string(written);
  if (!std::isfinite(v)) return written == "null" ? "" : "not null: " + std::string(written);

  double back = 0;
  const auto r = std::from_chars(text, text + n, back);
  if (r.ec != std::errc() || r.ptr != text + n) return "unreadable: " + std::string(written);
  if (std::bit_cast<std::uint64_t>(back) != std::bit_cast<std::uint64_t>(v)) {
    return "reads back differently: " + std::string(written);
  }
  if (written.find_first_of(".e") == std::string_view::npos)
    return "reads as integer: " + std::string(written);
  if (v == 0) return "";

  const Decimal ours = shortest_decimal(std::fabs(v));
  const Decimal ref = reference_decimal(std::fabs(v));
  if (ours.digits != ref.digits || ours.exponent != ref.exponent) {
    return "digits " + std::to_string(ours.digits) + "e" + std::to_string(ours.exponent) +
           ", reference " + std::to_string(ref.digits) + "e" + std::to_string(ref.exponent);
  }
  // Layout: scientific exactly when the first digit's exponent is outside -5..15.
  const int first = ref.exponent + static_cast<int>(std::to_string(ref.digits).size()) - 1;
  const bool scientific = written.find('e') != std::string_view::npos;
  if (scientific != (first < -5 || first > 15)) return "wrong layout: " + std::string(written);
  return "";
}

#define EXPECT_WRITTEN_RIGHT(v)                                                               \
  do {                                                                                        \
    const double value_ = (v);                                                                \
    const std::string problem_ = check(value_);                                               \
    ASSERT_EQ(problem_, "") << "bits 0x" << std::hex << std::bit_cast<std::uint64_t>(value_); \
  } while (0)

TEST(DoubleText, RandomBitPatterns) {
  std::mt19937_64 rng(0x6b656c76616e65);
  for (std::uint32_t i = 0; i < kSamples; ++i) EXPECT_WRITTEN_RIGHT(std::bit_cast<double>(rng()));
}

TEST(DoubleText, TypicalDecimals) {
  // Short decimal literals as people and programs write them: 1 to 17
  // digits, exponents that keep them in everyday ranges.
  std::mt19937_64 rng(0x6f70657261746f72);
  std::uniform_int_distribution<int> length(1, 17);
  std::uniform_int_distribution<int> exponent(-12, 12);
  for (std::uint32_t i = 0; i < kSamples; ++i) {
    const int n = length(rng);
    const std::uint64_t digits = rng() % detail::kPowersOfTen[static_cast<std::size_t>(n)];
    char literal[48];
    const int len = std::snprintf(literal, sizeof literal, "%llue%d",
                                  static_cast<unsigned long long>(digits), exponent(rng) - n / 2);
    double v = 0;
    std::from_chars(literal, literal + len, v);
    EXPECT_WRITTEN_RIGHT(v);
    EXPECT_WRITTEN_RIGHT(-v);
  }
}

TEST(DoubleText, EveryBinaryExponentAtItsEdges) {
  // Powers of two have a lopsided interval; the significands next to them
  // and the largest one probe the interval ends at every scale.
  for (std::uint64_t biased = 0; biased < 0x7FF; ++biased) {
    for (std::uint64_t fraction :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, (std::uint64_t{1} << 52) - 1,
          (std::uint64_t{1} << 51), (std::uint64_t{1} << 52) - 2}) {
      EXPECT_WRITTEN_RIGHT(std::bit_cast<double>((biased << 52) | fraction));
    }
  }
}

TEST(DoubleText, SmallestSubnormalsAndWholeNumbers) {
  for (std::uint64_t bits = 1; bits <= kSamples; ++bits)
    EXPECT_WRITTEN_RIGHT(std::bit_cast<double>(bits));
  for (double v = 1; v < 1e17; v = v * 3 + 1) {
    EXPECT_WRITTEN_RIGHT(v);
    EXPECT_WRITTEN_RIGHT(std::nextafter(v, 0.0));
    EXPECT_WRITTEN_RIGHT(std::nextafter(v, 1e300));
  }
  for (int e = -325; e <= 308; ++e) {
    const double p = std::pow(10.0, e);
    EXPECT_WRITTEN_RIGHT(p);
    EXPECT_WRITTEN_RIGHT(std::nextafter(p, 0.0));
    EXPECT_WRITTEN_RIGHT(std::nextafter(p, 1e300));
  }
  EXPECT_WRITTEN_RIGHT(std::numeric_limits<double>::quiet_NaN());
  EXPECT_WRITTEN_RIGHT(-std::numeric_limits<double>::infinity());
}

}  // namespace
}  // namespace kelvane::json
