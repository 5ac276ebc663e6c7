// Numbers: the grammar, the representation chosen for each literal, and the
// composition of doubles. The value is computed while the digits are read.
#include "json/number.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "json/deserializer.h"
#include "json/digits.h"

namespace kelvane::json {

namespace {

// The doubles nearest to 1e0 ... 1e308, as the compiler rounds the literals.
constexpr double POW10[309] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23,
    1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31,
    1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39,
    1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47,
    1e48, 1e49, 1e50, 1e51, 1e52, 1e53, 1e54, 1e55,
    1e56, 1e57, 1e58, 1e59, 1e60, 1e61, 1e62, 1e63,
    1e64, 1e65, 1e66, 1e67, 1e68, 1e69, 1e70, 1e71,
    1e72, 1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79,
    1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87,
    1e88, 1e89, 1e90, 1e91, 1e92, 1e93, 1e94, 1e95,
    1e96, 1e97, 1e98, 1e99, 1e100, 1e101, 1e102, 1e103,
    1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111,
    1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119,
    1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127,
    1e128, 1e129, 1e130, 1e131, 1e132, 1e133, 1e134, 1e135,
    1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142, 1e143,
    1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151,
    1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159,
    1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167,
    1e168, 1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175,
    1e176, 1e177, 1e178, 1e179, 1e180, 1e181, 1e182, 1e183,
    1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191,
    1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199,
    1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207,
    1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215,
    1e216, 1e217, 1e218, 1e219, 1e220, 1e221, 1e222, 1e223,
    1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231,
    1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239,
    1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247,
    1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255,
    1e256, 1e257, 1e258, 1e259, 1e260, 1e261, 1e262, 1e263,
    1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271,
    1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279,
    1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287,
    1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295,
    1e296, 1e297, 1e298, 1e299, 1e300, 1e301, 1e302, 1e303,
    1e304, 1e305, 1e306, 1e307, 1e308,
};

// The value of an ASCII digit; above 9 for any other byte.
constexpr unsigned digit_value(char c) noexcept { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0'; }

// True when significand * 10 + digit would not fit in 64 bits.
constexpr bool overflows(std::uint64_t significand, unsigned digit) noexcept {
  constexpr std::uint64_t kLimit = std::numeric_limits<std::uint64_t>::max() / 10;  // 1844674407370955161
  return significand > kLimit || (significand == kLimit && digit > 5);
}

constexpr std::int64_t kExponentMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kExponentMax = std::numeric_limits<std::int32_t>::max();

// Decimal exponents are 32-bit and saturate; they are kept wider while being
// counted so that no step can overflow.
constexpr std::int64_t saturate(std::int64_t x) noexcept {
  return x < kExponentMin ? kExponentMin : x > kExponentMax ? kExponentMax : x;
}

}  // namespace

std::optional<double> compose_double(bool positive, std::uint64_t significand, std::int32_t exponent) noexcept {
  double f = static_cast<double>(significand);
  std::int64_t x = exponent;
  for (;;) {
    const std::int64_t magnitude = x < 0 ? -x : x;
    if (magnitude <= 308) {
      if (x >= 0) {
        f *= POW10[magnitude];
        if (std::isinf(f)) return std::nullopt;
      } else {
        f /= POW10[magnitude];
      }
      break;
    }
    if (f == 0.0) break;
    if (x >= 0) return std::nullopt;
    f /= 1e308;
    x += 308;
  }
  return positive ? f : -f;
}

namespace detail {

// The digit loops below work on a local index and store it once: the
// member would otherwise be written back at every digit.
Result<Number, Error> Deserializer::parse_integer(bool positive) {
  if (index_ == size_) return fail(error(ErrorCode::EofWhileParsingValue));
  const char first = data_[index_++];
  if (first == '0') {
    // Only one leading zero.
    if (peek_digit() >= 0) return fail(peek_error(ErrorCode::InvalidNumber));
    return parse_number(positive, 0);
  }
  if (first < '1' || first > '9') return fail(error(ErrorCode::InvalidNumber));
  std::uint64_t significand = static_cast<std::uint64_t>(first - '0');
  std::size_t i = index_;
  for (; i < size_; ++i) {
    const unsigned d = digit_value(data_[i]);
    if (d > 9) break;
    if (overflows(significand, d)) {
      index_ = i;
      Result<double, Error> f = parse_long_integer(positive, significand);
      if (!f) return fail(std::move(f).error());
      return Number::from_double(f.value());
    }
    significand = significand * 10 + d;
  }
  index_ = i;
  return parse_number(positive, significand);
}

namespace {

// An integer literal without point or exponent.
Number integer_number(bool positive, std::uint64_t significand) noexcept {
  if (positive) return Number::unsigned64(significand);
  // -0 and magnitudes beyond the signed range become doubles.
  constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
  if (significand == 0 || significand > kMinMagnitude) {
    return Number::from_double(-static_cast<double>(significand));
  }
  return Number::negative64(static_cast<std::int64_t>(~significand + 1));
}

// At most this many digits, of the integer and fraction together, always
// fit the 64-bit significand.
constexpr std::size_t kPlainDigits = 19;
// At most this many exponent digits never reach the 32-bit limit.
constexpr std::size_t kPlainExponentDigits = 9;

// Digit runs are taken a word at a time: one test finds where the run ends
// within eight bytes, and one multiplication chain gives the value of those
// digits, which is the same as taking them one by one with s * 10 + d.
inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;  // the first byte lowest
}

// The number of leading bytes of `w` that are ASCII digits. A byte that is
// not a digit gets its high bit set in `marks`; carries only go from a
// marked byte upwards, so the lowest mark is exact.
inline std::size_t leading_digits(std::uint64_t w) noexcept {
  const std::uint64_t offsets = w ^ 0x3030303030303030;  // a digit becomes 0 to 9
  const std::uint64_t marks = ((offsets + 0x7676767676767676) | offsets) & 0x8080808080808080;
  return marks == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(marks)) / 8;
}

// The value of the first `k` (1 to 8) bytes of `w`, all digits, the first
// the most significant: they are moved to the top of the word behind
// '0' bytes and read as eight digits.
inline std::uint64_t leading_digit_value(std::uint64_t w, std::size_t k) noexcept {
  if (k < 8) {
    const unsigned shift = static_cast<unsigned>(8 * (8 - k));
    w = (w << shift) | (0x3030303030303030 >> (64 - shift));
  }
  w -= 0x3030303030303030;
  w = w * 10 + (w >> 8);  // pairs of digits in every other byte
  const std::uint64_t pairs13 = (w & 0x000000FF000000FF) * (100 + (1000000ULL << 32));
  const std::uint64_t pairs24 = ((w >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32));
  return (pairs13 + pairs24) >> 32;
}

// Takes the digits at p[i..n), at most `budget` of them, into `significand`;
// returns how many were taken.
inline std::size_t take_digits(const char* p, std::size_t n, std::size_t i, std::size_t budget,
                               std::uint64_t& significand) noexcept {
  std::size_t taken = 0;
  while (n - i >= 8 && taken < budget) {
    const std::uint64_t w = load8(p + i);
    std::size_t k = leading_digits(w);
    if (k > budget - taken) k = budget - taken;
    if (k == 0) return taken;
    significand = significand * kPowersOfTen[k] + leading_digit_value(w, k);
    taken += k;
    i += k;
    if (k < 8) return taken;
  }
  for (; i < n && taken < budget; ++i, ++taken) {
    const unsigned d = digit_value(p[i]);
    if (d > 9) break;
    significand = significand * 10 + d;
  }
  return taken;
}

}  // namespace

Result<Number, Error> Deserializer::parse_number(bool positive, std::uint64_t significand) {
  const int c = peek();
  if (c == '.' || c == 'e' || c == 'E') {
    Result<double, Error> f =
        c == '.' ? parse_decimal(positive, significand, 0) : parse_exponent(positive, significand, 0);
    if (!f) return fail(std::move(f).error());
    return Number::from_double(f.value());
  }
  return integer_number(positive, significand);
}

// Most numbers are short: their digits fit the significand, the exponent
// cannot overflow, and the value is finite. Those are read here in one pass
// with the same arithmetic as the general path (the significand digit by
// digit, the exponent counted the same way, the same compose_double call),
// so they come out bit for bit the same. Anything else, errors included,
// leaves the index alone and is left to parse_integer.
bool Deserializer::parse_plain_number(bool positive, Number& out) noexcept {
  const char* const p = data_;
  const std::size_t n = size_;
  const std::size_t start = index_;
  std::size_t i = start;
  std::uint64_t significand = 0;
  i += take_digits(p, n, i, kPlainDigits, significand);
  const std::size_t integer_digits = i - start;
  if (integer_digits == 0 || (p[start] == '0' && integer_digits > 1)) return false;
  if (i == n || (p[i] != '.' && p[i] != 'e' && p[i] != 'E')) {
    if (i < n && digit_value(p[i]) <= 9) return false;  // too many digits for this path
    index_ = i;
    out = integer_number(positive, significand);
    return true;
  }
  std::int64_t exponent = 0;
  if (p[i] == '.') {
    const std::size_t first = ++i;
    i += take_digits(p, n, i, kPlainDigits - (i - start - 1), significand);
    if (i == first || (i < n && digit_value(p[i]) <= 9)) return false;
    exponent = -static_cast<std::int64_t>(i - first);
  }
  if (i < n && (p[i] == 'e' || p[i] == 'E')) {
    ++i;
    bool positive_exponent = true;
    if (i < n && (p[i] == '+' || p[i] == '-')) {
      positive_exponent = p[i] == '+';
      ++i;
    }
    const std::size_t first = i;
    std::int64_t e = 0;
    for (; i < n && i - first < kPlainExponentDigits; ++i) {
      const unsigned d = digit_value(p[i]);
      if (d > 9) break;
      e = e * 10 + d;
    }
    if (i == first || (i < n && digit_value(p[i]) <= 9)) return false;
    exponent = positive_exponent ? exponent + e : exponent - e;
  }
  const std::optional<double> f = compose_double(positive, significand, static_cast<std::int32_t>(saturate(exponent)));
  if (!f) return false;
  index_ = i;
  out = Number::from_double(*f);
  return true;
}

// Integer digits beyond the 64 bits of the significand only scale it.
Result<double, Error> Deserializer::parse_long_integer(bool positive, std::uint64_t significand) {
  const std::size_t first = index_;
  index_ = skip_digits(index_);
  const auto exponent = saturate(static_cast<std::int64_t>(index_ - first));
  const int c = peek();
  if (c == '.') return parse_decimal(positive, significand, exponent);
  if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent);
  return finish_double(positive, significand, exponent);
}

Result<double, Error> Deserializer::parse_decimal(bool positive, std::uint64_t significand, std::int64_t exponent) {
  const std::size_t first = ++index_;  // past the point
  std::size_t i = first;
  for (; i < size_; ++i) {
    const unsigned d = digit_value(data_[i]);
    if (d > 9 || overflows(significand, d)) break;
    significand = significand * 10 + d;
  }
  exponent = saturate(exponent - static_cast<std::int64_t>(i - first));
  // Fraction digits that no longer fit change nothing.
  index_ = skip_digits(i);
  if (index_ == first) {
    return fail(peek_error(index_ == size_ ? ErrorCode::EofWhileParsingValue : ErrorCode::InvalidNumber));
  }
  const int c = peek();
  if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent);
  return finish_double(positive, significand, exponent);
}

Result<double, Error> Deserializer::parse_exponent(bool positive, std::uint64_t significand, std::int64_t exponent) {
  ++index_;  // e or E
  bool positive_exponent = true;
  if (const int sign = peek(); sign == '+' || sign == '-') {
    positive_exponent = sign == '+';
    ++index_;
  }
  if (index_ == size_) return fail(error(ErrorCode::EofWhileParsingValue));
  const char first = data_[index_++];
  if (first < '0' || first > '9') return fail(error(ErrorCode::InvalidNumber));
  std::int32_t e = first - '0';
  for (int d = peek_digit(); d >= 0; d = peek_digit()) {
    ++index_;
    constexpr std::int32_t kLimit = std::numeric_limits<std::int32_t>::max() / 10;  // 214748364
    if (e > kLimit || (e == kLimit && d > 7)) {
      // Beyond 32 bits: infinite unless the value is zero or the exponent
      // negative, in which case it is zero however the digits go on.
      if (significand != 0 && positive_exponent) return fail(error(ErrorCode::NumberOutOfRange));
      while (peek_digit() >= 0) ++index_;
      return positive ? 0.0 : -0.0;
    }
    e = e * 10 + d;
  }
  return finish_double(positive, significand, saturate(positive_exponent ? exponent + e : exponent - e));
}

Result<double, Error> Deserializer::finish_double(bool positive, std::uint64_t significand, std::int64_t exponent) {
  const std::optional<double> f = compose_double(positive, significand, static_cast<std::int32_t>(saturate(exponent)));
  if (!f) return fail(error(ErrorCode::NumberOutOfRange));
  return *f;
}

// The grammar of a number without its value, for skipped values.
Status Deserializer::ignore_integer() {
  const int first = peek();
  if (first >= 0) ++index_;
  if (first == '0') {
    if (peek_digit() >= 0) return fail(peek_error(ErrorCode::InvalidNumber));
  } else if (first >= '1' && first <= '9') {
    index_ = skip_digits(index_);
  } else {
    return fail(error(ErrorCode::InvalidNumber));
  }
  const int c = peek();
  if (c == '.') return ignore_decimal();
  if (c == 'e' || c == 'E') return ignore_exponent();
  return {};
}

Status Deserializer::ignore_decimal() {
  ++index_;  // the point
  if (peek_digit() < 0) return fail(peek_error(ErrorCode::InvalidNumber));
  index_ = skip_digits(index_);
  const int c = peek();
  if (c == 'e' || c == 'E') return ignore_exponent();
  return {};
}

Status Deserializer::ignore_exponent() {
  ++index_;  // e or E
  if (const int sign = peek(); sign == '+' || sign == '-') ++index_;
  const int first = peek();
  if (first >= 0) ++index_;
  if (first < '0' || first > '9') return fail(error(ErrorCode::InvalidNumber));
  index_ = skip_digits(index_);
  return {};
}

}  // namespace detail
}  // namespace kelvane::json
