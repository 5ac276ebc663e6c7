// Prints src/json/pow10_table.h: the 126-bit upper approximations of the
// powers of ten that the shortest-digit search multiplies by, and checks the
// integer logarithm approximations that index and scale them against exact
// big-integer arithmetic. Run it and diff with the checked-in header:
//
//   build/dev/tools/gen_pow10_table > src/json/pow10_table.h
//
// Usage: gen_pow10_table [--check FILE] (with --check it compares instead of
// printing and exits non-zero on any difference).
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Unsigned big integer, little-endian 32-bit limbs, no leading zero limbs.
struct Big {
  std::vector<std::uint32_t> limbs;

  static Big of(std::uint64_t v) {
    Big b;
    while (v != 0) {
      b.limbs.push_back(static_cast<std::uint32_t>(v));
      v >>= 32;
    }
    return b;
  }
  void trim() {
    while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
  }
  int bit_length() const {
    if (limbs.empty()) return 0;
    int top = 32;
    while (((limbs.back() >> (top - 1)) & 1u) == 0) --top;
    return static_cast<int>((limbs.size() - 1) * 32) + top;
  }
  bool bit(int i) const {
    const auto limb = static_cast<std::size_t>(i / 32);
    return limb < limbs.size() && ((limbs[limb] >> (i % 32)) & 1u) != 0;
  }
  void mul_small(std::uint32_t m) {
    std::uint64_t carry = 0;
    for (std::uint32_t& l : limbs) {
      const std::uint64_t p = std::uint64_t{l} * m + carry;
      l = static_cast<std::uint32_t>(p);
      carry = p >> 32;
    }
    if (carry != 0) limbs.push_back(static_cast<std::uint32_t>(carry));
  }
  Big shifted_left(int n) const {
    Big r;
    r.limbs.assign(static_cast<std::size_t>(n / 32), 0);
    const int s = n % 32;
    std::uint32_t carry = 0;
    for (std::uint32_t l : limbs) {
      r.limbs.push_back(s == 0 ? l : (l << s) | carry);
      carry = s == 0 ? 0 : l >> (32 - s);
    }
    if (carry != 0) r.limbs.push_back(carry);
    r.trim();
    return r;
  }
  Big shifted_right(int n) const {
    Big r;
    for (int i = 0; i + n < bit_length(); ++i) {
      if (bit(i + n)) r.set_bit(i);
    }
    return r;
  }
  void set_bit(int i) {
    const auto limb = static_cast<std::size_t>(i / 32);
    if (limbs.size() <= limb) limbs.resize(limb + 1, 0);
    limbs[limb] |= 1u << (i % 32);
  }
  std::uint64_t low64() const {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 2 && i < limbs.size(); ++i)
      v |= std::uint64_t{limbs[i]} << (32 * i);
    return v;
  }
};

int compare(const Big& a, const Big& b) {
  if (a.limbs.size() != b.limbs.size()) return a.limbs.size() < b.limbs.size() ? -1 : 1;
  for (std::size_t i = a.limbs.size(); i-- > 0;) {
    if (a.limbs[i] != b.limbs[i]) return a.limbs[i] < b.limbs[i] ? -1 : 1;
  }
  return 0;
}

void subtract(Big& a, const Big& b) {  // requires a >= b
  std::int64_t borrow = 0;
  for (std::size_t i = 0; i < a.limbs.size(); ++i) {
    std::int64_t d =
        std::int64_t{a.limbs[i]} - borrow - (i < b.limbs.size() ? std::int64_t{b.limbs[i]} : 0);
    borrow = d < 0 ? 1 : 0;
    if (d < 0) d += std::int64_t{1} << 32;
    a.limbs[i] = static_cast<std::uint32_t>(d);
  }
  a.trim();
}

// floor(n / d) for a quotient known to fit in 128 bits.
Big divide(Big n, const Big& d) {
  Big q;
  for (int b = std::max(0, n.bit_length() - d.bit_length()); b >= 0; --b) {
    const Big part = d.shifted_left(b);
    if (compare(part, n) <= 0) {
      subtract(n, part);
      q.set_bit(b);
    }
  }
  return q;
}

Big pow_small(std::uint32_t base, int e) {
  Big r = Big::of(1);
  for (int i = 0; i < e; ++i) r.mul_small(base);
  return r;
}

// floor(log10(a / b)) for positive a, b.
int floor_log10_ratio(const Big& a, const Big& b) {
  int j = 0;
  if (compare(a, b) >= 0) {
    Big p = b;
    while (true) {
      Big next = p;
      next.mul_small(10);
      if (compare(next, a) > 0) return j;
      p = next;
      ++j;
    }
  }
  Big p = a;
  while (compare(p, b) < 0) {
    p.mul_small(10);
    --j;
  }
  return j;
}

// The approximations used by the digit search; they must agree with the
// exact values over the exponents it meets.
int flog10pow2(int e) {
  return static_cast<int>((std::int64_t{e} * 661971961083) >> 41);
}
int flog10_three_quarters_pow2(int e) {
  return static_cast<int>((std::int64_t{e} * 661971961083 - 274743187321) >> 41);
}
int flog2pow10(int e) {
  return static_cast<int>((std::int64_t{e} * 913124641741) >> 38);
}

bool check_logarithms() {
  bool ok = true;
  for (int q = -1074; q <= 971; ++q) {
    const Big two_q = q >= 0 ? pow_small(2, q) : Big::of(1);
    const Big den = q >= 0 ? Big::of(1) : pow_small(2, -q);
    if (floor_log10_ratio(two_q, den) != flog10pow2(q)) {
      std::fprintf(stderr, "flog10pow2(%d) is wrong\n", q);
      ok = false;
    }
    // 3/4 * 2^q = 3 * 2^(q-2)
    Big three = Big::of(3);
    Big num = q - 2 >= 0 ? three.shifted_left(q - 2) : three;
    const Big den3 = q - 2 >= 0 ? Big::of(1) : pow_small(2, 2 - q);
    if (floor_log10_ratio(num, den3) != flog10_three_quarters_pow2(q)) {
      std::fprintf(stderr, "flog10_three_quarters_pow2(%d) is wrong\n", q);
      ok = false;
    }
  }
  for (int e = -292; e <= 324; ++e) {
    const Big p = pow_small(10, e >= 0 ? e : -e);
    // floor(log2(10^e)): bit_length - 1 for e >= 0; -bit_length for e < 0
    // (10^|e| is never a power of two for e != 0).
    const int exact = e >= 0 ? p.bit_length() - 1 : -p.bit_length();
    if (exact != flog2pow10(e)) {
      std::fprintf(stderr, "flog2pow10(%d) is wrong\n", e);
      ok = false;
    }
  }
  return ok;
}

std::string table_text() {
  std::string text =
      "// Generated by tools/gen_pow10_table.cc; do not edit.\n"
      "//\n"
      "// Entry k - kPow10MinK holds g = floor(10^-k * 2^(125 - floor(log2(10^-k)))) + 1,\n"
      "// a 126-bit upper approximation of 10^-k, split as g = hi * 2^63 + lo.\n"
      "#pragma once\n\n#include <cstdint>\n\nnamespace kelvane::json::detail {\n\n"
      "struct Pow10Entry {\n  std::uint64_t hi;\n  std::uint64_t lo;\n};\n\n"
      "inline constexpr int kPow10MinK = -324;\ninline constexpr int kPow10MaxK = 292;\n\n"
      "inline constexpr Pow10Entry kPow10Table[kPow10MaxK - kPow10MinK + 1] = {\n";
  for (int k = -324; k <= 292; ++k) {
    const int e = -k;
    const int r = 125 - flog2pow10(e);
    Big g;
    if (e >= 0) {
      const Big p = pow_small(10, e);
      g = r >= 0 ? p.shifted_left(r) : p.shifted_right(-r);
    } else {
      g = divide(Big::of(1).shifted_left(r), pow_small(10, -e));
    }
    // g += 1
    std::size_t i = 0;
    while (true) {
      if (i == g.limbs.size()) g.limbs.push_back(0);
      if (++g.limbs[i] != 0) break;
      ++i;
    }
    if (g.bit_length() != 126) {
      std::fprintf(stderr, "entry %d has %d bits\n", k, g.bit_length());
      std::exit(1);
    }
    const std::uint64_t hi = g.shifted_right(63).low64();
    const std::uint64_t lo = g.low64() & ((std::uint64_t{1} << 63) - 1);
    char line[96];
    std::snprintf(line, sizeof line, "    {0x%016" PRIX64 ", 0x%016" PRIX64 "},  // %d\n", hi, lo,
                  k);
    text += line;
  }
  text += "};\n\n}  // namespace kelvane::json::detail\n";
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (!check_logarithms()) return 1;
  const std::string text = table_text();
  if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
    std::FILE* f = std::fopen(argv[2], "rb");
    if (f == nullptr) {
      std::perror(argv[2]);
      return 1;
    }
    std::string existing;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) existing.append(buf, n);
    std::fclose(f);
    if (existing != text) {
      std::fprintf(stderr, "%s differs from the generated table\n", argv[2]);
      return 1;
    }
    return 0;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
