// Numbers: the grammar, the representation chosen for each literal, and the
// quick path for short literals. Values are computed while the digits are
// read; no text of a number is stored.
#include "json/internal/number_lexer.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "json/internal/digits.h"
#include "json/internal/plain_run.h"

namespace kelvane::json::detail {

namespace {

// The value of an ASCII digit; above 9 for any other byte.
constexpr unsigned digit_value(char c) noexcept {
  return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0';
}
constexpr bool is_digit(char c) noexcept {
  return digit_value(c) <= 9;
}

// True when significand * 10 + digit would not fit in 64 bits.
constexpr bool overflows(std::uint64_t significand, unsigned digit) noexcept {
  constexpr std::uint64_t kLimit =
      std::numeric_limits<std::uint64_t>::max() / 10;  // 1844674407370955161
  return significand > kLimit || (significand == kLimit && digit > 5);
}

constexpr std::int64_t kExponentMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kExponentMax = std::numeric_limits<std::int32_t>::max();

// Decimal exponents are 32-bit and saturate; they are kept wider while being
// counted so that no step can overflow.
constexpr std::int32_t saturate(std::int64_t x) noexcept {
  return static_cast<std::int32_t>(x < kExponentMin   ? kExponentMin
                                   : x > kExponentMax ? kExponentMax
                                                      : x);
}

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

// The offset of the first byte at or after `i` that is not an ASCII digit.
std::size_t skip_digits(const char* p, std::size_t n, std::size_t i) noexcept {
  while (i < n && is_digit(p[i])) ++i;
  return i;
}

// ---- The grammar, digit by digit ------------------------------------------

template <Mode M>
class Grammar {
 public:
  Grammar(Input& in, NumberToken& out) noexcept
      : in_(in), out_(out), p_(in.data()), n_(in.size()) {}

  // At the first digit (after the minus sign of a negative number).
  Status integer_part(bool positive) {
    if (in_.at_end())
      return fail(
          in_.error(M == Mode::Read ? ErrorCode::EofWhileParsingValue : ErrorCode::InvalidNumber));
    const char first = p_[in_.index()];
    in_.eat();
    if (first == '0') {
      // Only one leading zero.
      if (!in_.at_end() && is_digit(p_[in_.index()]))
        return fail(in_.peek_error(ErrorCode::InvalidNumber));
      return after_integer(positive, 0, 0, false);
    }
    if (!is_digit(first)) return fail(in_.error(ErrorCode::InvalidNumber));
    if constexpr (M == Mode::Skip) {
      in_.set_index(skip_digits(p_, n_, in_.index()));
      return after_integer(positive, 0, 0, false);
    }
    std::uint64_t significand = digit_value(first);
    std::size_t i = in_.index();
    for (; i < n_ && is_digit(p_[i]); ++i) {
      const unsigned d = digit_value(p_[i]);
      if (overflows(significand, d)) {
        // Digits beyond the 64 bits of the significand only scale it.
        const std::size_t end = skip_digits(p_, n_, i);
        in_.set_index(end);
        return after_integer(positive, significand, saturate(static_cast<std::int64_t>(end - i)),
                             true);
      }
      significand = significand * 10 + d;
    }
    in_.set_index(i);
    return after_integer(positive, significand, 0, false);
  }

 private:
  Status after_integer(bool positive, std::uint64_t significand, std::int32_t exponent,
                       bool long_integer) {
    const int c = in_.peek();
    if (c == '.') return fraction(positive, significand, exponent);
    if (c == 'e' || c == 'E') return exponent_part(positive, significand, exponent);
    if (long_integer) return finish(positive, significand, exponent);
    if constexpr (M == Mode::Read) out_.value = integer_number(positive, significand);
    return {};
  }

  // At the point.
  Status fraction(bool positive, std::uint64_t significand, std::int32_t exponent) {
    const std::size_t first = in_.index() + 1;
    std::size_t i = first;
    if constexpr (M == Mode::Read) {
      for (; i < n_; ++i) {
        const unsigned d = digit_value(p_[i]);
        if (d > 9 || overflows(significand, d)) break;
        significand = significand * 10 + d;
      }
      exponent = saturate(std::int64_t{exponent} - static_cast<std::int64_t>(i - first));
    }
    // Fraction digits that no longer fit change nothing.
    in_.set_index(skip_digits(p_, n_, i));
    if (in_.index() == first) {
      const bool eof = M == Mode::Read && in_.at_end();
      return fail(in_.peek_error(eof ? ErrorCode::EofWhileParsingValue : ErrorCode::InvalidNumber));
    }
    const int c = in_.peek();
    if (c == 'e' || c == 'E') return exponent_part(positive, significand, exponent);
    return finish(positive, significand, exponent);
  }

  // At the e or E.
  Status exponent_part(bool positive, std::uint64_t significand, std::int32_t exponent) {
    in_.eat();
    bool positive_exponent = true;
    if (const int sign = in_.peek(); sign == '+' || sign == '-') {
      positive_exponent = sign == '+';
      in_.eat();
    }
    if (in_.at_end())
      return fail(
          in_.error(M == Mode::Read ? ErrorCode::EofWhileParsingValue : ErrorCode::InvalidNumber));
    const char first = p_[in_.index()];
    in_.eat();
    if (!is_digit(first)) return fail(in_.error(ErrorCode::InvalidNumber));
    if constexpr (M == Mode::Skip) {
      in_.set_index(skip_digits(p_, n_, in_.index()));
      return {};
    }
    std::int32_t e = static_cast<std::int32_t>(digit_value(first));
    while (!in_.at_end() && is_digit(p_[in_.index()])) {
      const auto d = static_cast<std::int32_t>(digit_value(p_[in_.index()]));
      in_.eat();
      constexpr std::int32_t kLimit = std::numeric_limits<std::int32_t>::max() / 10;  // 214748364
      if (e > kLimit || (e == kLimit && d > 7)) {
        // Beyond 32 bits: infinite unless the value is zero or the exponent
        // negative, in which case it is zero however the digits go on.
        if (significand != 0 && positive_exponent)
          return fail(in_.error(ErrorCode::NumberOutOfRange));
        in_.set_index(skip_digits(p_, n_, in_.index()));
        out_.value = Number::from_double(positive ? 0.0 : -0.0);
        return {};
      }
      e = e * 10 + d;
    }
    return finish(
        positive, significand,
        saturate(positive_exponent ? std::int64_t{exponent} + e : std::int64_t{exponent} - e));
  }

  Status finish(bool positive, std::uint64_t significand, std::int32_t exponent) {
    if constexpr (M == Mode::Read) {
      const std::optional<double> f = compose_double(positive, significand, exponent);
      if (!f) return fail(in_.error(ErrorCode::NumberOutOfRange));
      out_.value = Number::from_double(*f);
    }
    return {};
  }

  Input& in_;
  NumberToken& out_;
  const char* p_;
  std::size_t n_;
};

// ---- The quick path ---------------------------------------------------------

// At most this many digits, of the integer and fraction together, always
// fit the 64-bit significand.
constexpr std::size_t kQuickDigits = 19;
// At most this many exponent digits never reach the 32-bit limit.
constexpr std::size_t kQuickExponentDigits = 9;

// Digit runs are read a word at a time: one test finds where the run ends
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

#if defined(__GNUC__) && defined(__SSE2__) && !defined(KOA_NO_VECTOR_SCAN)
// Bit k set when p[k] is an ASCII digit, for the 32 bytes from p.
inline std::uint32_t digit_mask32(const char* p) noexcept {
  const Bytes16 low = load16(p) - static_cast<unsigned char>('0');
  const Bytes16 high = load16(p + 16) - static_cast<unsigned char>('0');
  typedef char Signed16 __attribute__((vector_size(16)));
  const auto low_marks = static_cast<Signed16>(low <= 9);
  const auto high_marks = static_cast<Signed16>(high <= 9);
  return static_cast<std::uint32_t>(__builtin_ia32_pmovmskb128(low_marks)) |
         (static_cast<std::uint32_t>(__builtin_ia32_pmovmskb128(high_marks)) << 16);
}

// The value of the k (at most 19) digits at p, with 24 bytes readable.
inline std::uint64_t digits_value(const char* p, std::size_t k) noexcept {
  if (k <= 8) return leading_digit_value(load8(p), k);
  const std::uint64_t eight = leading_digit_value(load8(p), 8);
  if (k <= 16) return eight * kPowersOfTen[k - 8] + leading_digit_value(load8(p + 8), k - 8);
  const std::uint64_t sixteen = eight * 100000000 + leading_digit_value(load8(p + 8), 8);
  return sixteen * kPowersOfTen[k - 16] + leading_digit_value(load8(p + 16), k - 16);
}
#endif

// A run of digits at p[i..n): at most `budget` of them go into
// `significand`, and a longer run is not for the quick path (false). `i`
// ends after the run.
inline bool digit_run(const char* p, std::size_t n, std::size_t& i, std::size_t budget,
                      std::uint64_t& significand) noexcept {
  i += take_digits(p, n, i, budget, significand);
  return i == n || !is_digit(p[i]);
}

// The integer part and the fraction of a number at p[i..n), one word of
// digits at a time: their digits into `significand`, the fraction's count
// negated into `exponent`. `i` ends after them. False when they are not for
// the quick path (see quick_number).
inline bool mantissa_by_words(const char* p, std::size_t n, std::size_t& i,
                              std::uint64_t& significand, bool& point,
                              std::int64_t& exponent) noexcept {
  const std::size_t start = i;
  if (!digit_run(p, n, i, kQuickDigits, significand)) return false;
  const std::size_t integer_digits = i - start;
  if (integer_digits == 0 || (p[start] == '0' && integer_digits > 1)) return false;
  point = i < n && p[i] == '.';
  if (point) {
    const std::size_t first = ++i;
    if (!digit_run(p, n, i, kQuickDigits - integer_digits, significand) || i == first) return false;
    exponent = -static_cast<std::int64_t>(i - first);
  }
  return true;
}

#if defined(__GNUC__) && defined(__SSE2__) && !defined(KOA_NO_VECTOR_SCAN)
// The same from one look at 32 bytes: a mask of the bytes that are not
// digits gives the lengths of the integer part and the fraction at once,
// and the digits, known to be digits, are read a word at a time. Needs 48
// readable bytes from `i` (the last word read may start 16 bytes in).
inline bool mantissa_by_mask(const char* p, std::size_t& i, std::uint64_t& significand, bool& point,
                             std::int64_t& exponent) noexcept {
  const std::uint32_t others = ~digit_mask32(p + i);
  const auto integer_digits =
      static_cast<std::size_t>(std::countr_zero(others));  // 32 when all are digits
  if (integer_digits == 0 || integer_digits > kQuickDigits || (p[i] == '0' && integer_digits > 1))
    return false;
  significand = digits_value(p + i, integer_digits);
  point = p[i + integer_digits] == '.';
  if (!point) {
    i += integer_digits;
    return true;
  }
  const std::size_t first = integer_digits + 1;
  const auto fraction = static_cast<std::size_t>(std::countr_zero(others >> first));  // first < 21
  if (fraction == 0 || integer_digits + fraction > kQuickDigits) return false;
  significand = significand * kPowersOfTen[fraction] + digits_value(p + i + first, fraction);
  exponent = -static_cast<std::int64_t>(fraction);
  i += first + fraction;
  return true;
}
#endif

inline bool quick_mantissa(const char* p, std::size_t n, std::size_t& i, std::uint64_t& significand,
                           bool& point, std::int64_t& exponent) noexcept {
#if defined(__GNUC__) && defined(__SSE2__) && !defined(KOA_NO_VECTOR_SCAN)
  if (n - i >= 48) return mantissa_by_mask(p, i, significand, point, exponent);
#endif
  return mantissa_by_words(p, n, i, significand, point, exponent);
}

// The common forms of a number, at its first digit, when reading. False,
// with the index left alone, for anything else: errors, literals with more
// digits than the significand holds or more exponent digits than can be
// counted without a check, and values that are not finite. Those are left to
// the grammar, which gives the same result for everything this takes (bit
// for bit: the same significand, exponent and compose_double call).
bool quick_number(Input& in, bool positive, NumberToken& out) noexcept {
  const char* const p = in.data();
  const std::size_t n = in.size();
  std::size_t i = in.index();
  std::uint64_t significand = 0;
  bool point = false;
  std::int64_t exponent = 0;
  if (!quick_mantissa(p, n, i, significand, point, exponent)) return false;
  const bool letter = i < n && (p[i] == 'e' || p[i] == 'E');
  if (letter) {
    ++i;
    bool positive_exponent = true;
    if (i < n && (p[i] == '+' || p[i] == '-')) {
      positive_exponent = p[i] == '+';
      ++i;
    }
    const std::size_t first = i;
    std::int64_t e = 0;
    for (; i < n && i - first < kQuickExponentDigits && is_digit(p[i]); ++i)
      e = e * 10 + digit_value(p[i]);
    if (i == first || (i < n && is_digit(p[i]))) return false;
    exponent = positive_exponent ? exponent + e : exponent - e;
  }
  if (!point && !letter) {
    out.value = integer_number(positive, significand);
  } else {
    const std::optional<double> f = compose_double(positive, significand, saturate(exponent));
    if (!f) return false;
    out.value = Number::from_double(*f);
  }
  out.exact = true;
  out.significand = significand;
  out.exponent = static_cast<std::int32_t>(exponent);
  in.set_index(i);
  return true;
}

// After the minus sign, if any; `start` is where the literal began.
template <Mode M>
Status finish_token(Input& in, std::size_t start, NumberToken& out) {
  if constexpr (M == Mode::Read) out.text = std::string_view(in.data() + start, in.index() - start);
  return {};
}

}  // namespace

Status lex_number(Input& in, NumberToken& out) {
  const std::size_t start = in.index();
  const bool positive = in.data()[start] != '-';
  if (!positive) in.eat();
  if (!quick_number(in, positive, out)) {
    out.exact = false;
    if (Status s = Grammar<Mode::Read>(in, out).integer_part(positive); !s) return s;
  }
  return finish_token<Mode::Read>(in, start, out);
}

template <Mode M>
Status lex_number_plain(Input& in, NumberToken& out) {
  const std::size_t start = in.index();
  const bool positive = in.data()[start] != '-';
  if (!positive) in.eat();
  if constexpr (M == Mode::Read) out.exact = false;
  if (Status s = Grammar<M>(in, out).integer_part(positive); !s) return s;
  return finish_token<M>(in, start, out);
}

Status skip_number_plain(Input& in) {
  NumberToken unused;
  return lex_number_plain<Mode::Skip>(in, unused);
}

template Status lex_number_plain<Mode::Read>(Input&, NumberToken&);
template Status lex_number_plain<Mode::Skip>(Input&, NumberToken&);

// ---- The double of a literal ----------------------------------------------

namespace {

// The doubles nearest to 1e0 ... 1e308, as the compiler rounds the literals.
constexpr double POW10[309] = {
    1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,
    1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,
    1e26,  1e27,  1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,
    1e39,  1e40,  1e41,  1e42,  1e43,  1e44,  1e45,  1e46,  1e47,  1e48,  1e49,  1e50,  1e51,
    1e52,  1e53,  1e54,  1e55,  1e56,  1e57,  1e58,  1e59,  1e60,  1e61,  1e62,  1e63,  1e64,
    1e65,  1e66,  1e67,  1e68,  1e69,  1e70,  1e71,  1e72,  1e73,  1e74,  1e75,  1e76,  1e77,
    1e78,  1e79,  1e80,  1e81,  1e82,  1e83,  1e84,  1e85,  1e86,  1e87,  1e88,  1e89,  1e90,
    1e91,  1e92,  1e93,  1e94,  1e95,  1e96,  1e97,  1e98,  1e99,  1e100, 1e101, 1e102, 1e103,
    1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116,
    1e117, 1e118, 1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129,
    1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142,
    1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155,
    1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168,
    1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179, 1e180, 1e181,
    1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194,
    1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207,
    1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220,
    1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233,
    1e234, 1e235, 1e236, 1e237, 1e238, 1e239, 1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246,
    1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259,
    1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272,
    1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285,
    1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298,
    1e299, 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};

}  // namespace

std::optional<double> compose_double(bool positive, std::uint64_t significand,
                                     std::int32_t exponent) noexcept {
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

}  // namespace kelvane::json::detail
