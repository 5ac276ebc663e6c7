// Shortest round-trip digits by the "Schubfach" method: one scaling of the
// double and of both ends of its rounding interval by a 126-bit upper
// approximation of a power of ten, rounded to odd, is enough to decide
// exactly which decimal of the right length lies in the interval, so no
// big-number fallback is needed.
#include "json/internal/shortest_decimal.h"

#include <bit>

#include "json/internal/pow10_table.h"

namespace kelvane::json {
namespace {

constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << 52;
constexpr std::uint64_t kFractionMask = kHiddenBit - 1;
constexpr std::uint64_t kMask63 = (std::uint64_t{1} << 63) - 1;
constexpr int kMinQ = -1074;  // binary exponent of the subnormals

// floor(log10(2^e)), floor(log10(3/4 * 2^e)) and floor(log2(10^e)) over the
// exponents met here; tools/gen_pow10_table.cc checks them exactly.
constexpr int flog10pow2(int e) noexcept {
  return static_cast<int>((std::int64_t{e} * 661971961083) >> 41);
}
constexpr int flog10_three_quarters_pow2(int e) noexcept {
  return static_cast<int>((std::int64_t{e} * 661971961083 - 274743187321) >> 41);
}
constexpr int flog2pow10(int e) noexcept {
  return static_cast<int>((std::int64_t{e} * 913124641741) >> 38);
}

#ifdef __SIZEOF_INT128__
__extension__ using Uint128 = unsigned __int128;

inline std::uint64_t mul_high(std::uint64_t a, std::uint64_t b) noexcept {
  return static_cast<std::uint64_t>((Uint128{a} * b) >> 64);
}
inline std::uint64_t mul_full(std::uint64_t a, std::uint64_t b, std::uint64_t& high) noexcept {
  const Uint128 p = Uint128{a} * b;
  high = static_cast<std::uint64_t>(p >> 64);
  return static_cast<std::uint64_t>(p);
}
#else
inline std::uint64_t mul_full(std::uint64_t a, std::uint64_t b, std::uint64_t& high) noexcept {
  const std::uint64_t a0 = a & 0xFFFFFFFF, a1 = a >> 32, b0 = b & 0xFFFFFFFF, b1 = b >> 32;
  const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const std::uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFF) + (p10 & 0xFFFFFFFF);
  high = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
  return (mid << 32) | (p00 & 0xFFFFFFFF);
}
inline std::uint64_t mul_high(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t high;
  mul_full(a, b, high);
  return high;
}
#endif

// floor(g * cp / 2^127), with its lowest bit set when the discarded part is
// not zero (round to odd), for g = hi * 2^63 + lo.
inline std::uint64_t scale_round_odd(const detail::Pow10Entry& g, std::uint64_t cp) noexcept {
  const std::uint64_t x1 = mul_high(g.lo, cp);
  std::uint64_t y1;
  const std::uint64_t y0 = mul_full(g.hi, cp, y1);
  const std::uint64_t z = (y0 >> 1) + x1;
  const std::uint64_t vbp = y1 + (z >> 63);
  return vbp | (((z & kMask63) + kMask63) >> 63);
}

// The decimal for c * 2^q; its digits may still end in zeros.
Decimal search(int q, std::uint64_t c) noexcept {
  // An odd significand's interval excludes its ends.
  const std::uint64_t out = c & 1;
  // The interval ends and the value, in quarter units of 2^q.
  const std::uint64_t cb = c << 2;
  const std::uint64_t cbr = cb + 2;
  std::uint64_t cbl;
  int k;
  if (c != kHiddenBit || q == kMinQ) {
    cbl = cb - 2;
    k = flog10pow2(q);
  } else {
    // A power of two: the next double down is only half as far away.
    cbl = cb - 1;
    k = flog10_three_quarters_pow2(q);
  }
  const int h = q + flog2pow10(-k) + 2;
  const detail::Pow10Entry& g = detail::kPow10Table[k - detail::kPow10MinK];

  // 4 * x / 10^k for x the value and the two ends.
  const std::uint64_t vb = scale_round_odd(g, cb << h);
  const std::uint64_t vbl = scale_round_odd(g, cbl << h) + out;
  const std::uint64_t vbr = scale_round_odd(g, cbr << h) - out;

  const std::uint64_t s = vb >> 2;
  if (s >= 10) {
    // One digit fewer: is exactly one of the two neighbouring multiples of
    // ten inside the interval? (The interval is less than ten units wide, so
    // it holds at most one.) Only the smallest subnormals get s below ten,
    // where a multiple of ten is no shorter than s or t.
    const std::uint64_t sp10 = 10 * (s / 10);
    const std::uint64_t tp10 = sp10 + 10;
    const bool upin = vbl <= sp10 << 2;
    const bool wpin = (tp10 << 2) <= vbr;
    if (upin != wpin) return {upin ? sp10 : tp10, k};
  }
  const std::uint64_t t = s + 1;
  const bool uin = vbl <= s << 2;
  const bool win = (t << 2) <= vbr;
  if (uin != win) return {uin ? s : t, k};
  // Both candidates lie in the interval: take the nearer, on a tie the even.
  const std::uint64_t mid = (s + t) << 1;
  const bool take_s = vb < mid || (vb == mid && (s & 1) == 0);
  return {take_s ? s : t, k};
}

Decimal strip_trailing_zeros(Decimal d) noexcept {
  if (d.digits % 10 != 0) return d;  // most doubles' shortest digits
  // At most 16 trailing zeros: halve the step each time.
  if (d.digits % 10000000000000000 == 0) {
    d.digits /= 10000000000000000;
    d.exponent += 16;
  }
  if (d.digits % 100000000 == 0) {
    d.digits /= 100000000;
    d.exponent += 8;
  }
  if (d.digits % 10000 == 0) {
    d.digits /= 10000;
    d.exponent += 4;
  }
  if (d.digits % 100 == 0) {
    d.digits /= 100;
    d.exponent += 2;
  }
  if (d.digits % 10 == 0) {
    d.digits /= 10;
    d.exponent += 1;
  }
  return d;
}

}  // namespace

Decimal shortest_decimal(double value) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & kFractionMask;
  if (biased == 0) return strip_trailing_zeros(search(kMinQ, fraction));
  const int q = biased - 1075;
  const std::uint64_t c = kHiddenBit | fraction;
  if (q < 0 && q > -53) {
    // A whole number below 2^53 is its own shortest decimal: every other
    // candidate with as few digits is a different whole number, at least 1
    // away, while the interval is at most a half wide.
    const int shift = -q;
    const std::uint64_t whole = c >> shift;
    if (whole << shift == c) return strip_trailing_zeros({whole, 0});
  }
  return strip_trailing_zeros(search(q, c));
}

bool literal_is_shortest(std::uint64_t significand, std::int32_t exponent, Decimal& out) noexcept {
  constexpr std::uint64_t kExactInDouble = std::uint64_t{1} << 53;
  constexpr std::int32_t kExactPowerOfTen =
      22;  // 10^22 is the last power of ten a double holds exactly
  constexpr std::uint64_t kFifteenDigits = 1000000000000000;
  if (significand == 0 || significand > kExactInDouble || exponent < -kExactPowerOfTen ||
      exponent > kExactPowerOfTen) {
    return false;
  }
  while (significand % 10 == 0) {
    significand /= 10;
    ++exponent;
  }
  if (significand >= kFifteenDigits) return false;
  out = {significand, exponent};
  return true;
}

}  // namespace kelvane::json
