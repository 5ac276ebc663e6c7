// The compact writer's hot paths: the double text against the standard
// library's shortest conversion followed by the same layout, long strings
// against a plain copy of their bytes, and whole string- and number-heavy
// values.
//
//   build/bench/bench/writer_bench --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json/internal/testing.h"
#include "json/json.h"
#include "json/value.h"

namespace {

using kelvane::json::Decimal;
using kelvane::json::Member;
using kelvane::json::Number;
using kelvane::json::Serializer;
using kelvane::json::Value;

constexpr std::size_t kInputs = 1 << 16;  // a power of two: indices wrap with a mask

std::vector<double> random_bit_patterns() {
  std::mt19937_64 rng(1);
  std::vector<double> v;
  while (v.size() < kInputs) {
    const double d = std::bit_cast<double>(rng());
    if (std::isfinite(d) && d != 0) v.push_back(d);
  }
  return v;
}

// Decimals of 1 to 9 digits with a few places after the point, as found in
// configuration and measurement data.
std::vector<double> typical_decimals() {
  std::mt19937_64 rng(2);
  std::uniform_int_distribution<int> length(1, 9);
  std::uniform_int_distribution<int> places(0, 4);
  std::vector<double> v;
  while (v.size() < kInputs) {
    const int n = length(rng);
    std::uint64_t digits = rng() % 1000000000;
    for (int i = n; i < 9; ++i) digits /= 10;
    char literal[32];
    const int len = std::snprintf(literal, sizeof literal, "%llue-%d",
                                  static_cast<unsigned long long>(digits), places(rng));
    double d = 0;
    std::from_chars(literal, literal + len, d);
    if (d != 0) v.push_back(rng() % 4 == 0 ? -d : d);
  }
  return v;
}

const std::vector<double>& inputs(int kind) {
  static const std::vector<double> bits = random_bit_patterns();
  static const std::vector<double> typical = typical_decimals();
  return kind == 0 ? bits : typical;
}

// The standard conversion's shortest digits, then our layout: the same
// output as double_text, by the other route.
std::size_t to_chars_then_layout(double v, char* out) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const char* p = buf;
  const bool negative = *p == '-';
  if (negative) ++p;
  std::uint64_t digits = static_cast<std::uint64_t>(*p++ - '0');
  int fraction = 0;
  if (*p == '.') {
    for (++p; *p != 'e'; ++p, ++fraction)
      digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
  }
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), r.ptr, exponent);
  return kelvane::json::layout_decimal(negative, Decimal{digits, exponent - fraction}, out);
}

void BM_DoubleText(benchmark::State& state) {
  const std::vector<double>& v = inputs(static_cast<int>(state.range(0)));
  char out[kelvane::json::kMaxDoubleText];
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(kelvane::json::double_text(v[i++ & (kInputs - 1)], out));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ToCharsThenLayout(benchmark::State& state) {
  const std::vector<double>& v = inputs(static_cast<int>(state.range(0)));
  char out[kelvane::json::kMaxDoubleText];
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(to_chars_then_layout(v[i++ & (kInputs - 1)], out));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// The standard conversion alone, in its own shortest form.
void BM_ToCharsAlone(benchmark::State& state) {
  const std::vector<double>& v = inputs(static_cast<int>(state.range(0)));
  char out[32];
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::to_chars(out, out + sizeof out, v[i++ & (kInputs - 1)]).ptr);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DoubleText)->Arg(0)->Arg(1)->ArgName("typical");
BENCHMARK(BM_ToCharsThenLayout)->Arg(0)->Arg(1)->ArgName("typical");
BENCHMARK(BM_ToCharsAlone)->Arg(0)->Arg(1)->ArgName("typical");

// Printable ASCII; with `escape_every` > 0 one byte in that many needs an
// escape (line feeds, quotes, tabs, backslashes, other control bytes).
std::string text_of(std::size_t size, std::size_t escape_every) {
  std::mt19937_64 rng(3);
  std::string s(size, ' ');
  const char escapes[] = {'\n', '"', '\t', '\\', '\x01'};
  for (std::size_t i = 0; i < size; ++i) {
    s[i] = static_cast<char>('a' + rng() % 26);
    if (escape_every > 0 && rng() % escape_every == 0) s[i] = escapes[rng() % sizeof escapes];
  }
  return s;
}

void BM_StringText(benchmark::State& state) {
  const std::string text =
      text_of(static_cast<std::size_t>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  std::string out;
  out.reserve(text.size() * 2 + 2);
  for (auto _ : state) {
    out.clear();
    Serializer(out).serialize_str(text);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_Memcpy(benchmark::State& state) {
  const std::string text = text_of(static_cast<std::size_t>(state.range(0)), 0);
  std::string out(text.size() + 2, '\0');
  for (auto _ : state) {
    std::memcpy(out.data() + 1, text.data(), text.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_StringText)
    ->Args({64 << 10, 0})
    ->Args({1 << 20, 0})
    ->Args({16 << 20, 0})
    ->Args({1 << 20, 64})
    ->Args({1 << 20, 8})
    ->ArgNames({"bytes", "escape_every"});
BENCHMARK(BM_Memcpy)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20)->ArgName("bytes");

// An array of records with several text members of mixed length.
Value string_heavy_value() {
  std::mt19937_64 rng(4);
  std::vector<Value> records;
  for (int i = 0; i < 20000; ++i) {
    std::vector<Member> m;
    m.emplace_back("id", Value::string(text_of(12, 0)));
    m.emplace_back("name", Value::string(text_of(8 + rng() % 24, 0)));
    m.emplace_back("description", Value::string(text_of(40 + rng() % 200, 100)));
    m.emplace_back("path", Value::string("/srv/data/" + text_of(20, 0)));
    records.push_back(Value::object(m));
  }
  return Value::array(records);
}

// An array of rows of integers and doubles.
Value number_heavy_value() {
  std::mt19937_64 rng(5);
  const std::vector<double>& typical = inputs(1);
  std::vector<Value> rows;
  for (int i = 0; i < 20000; ++i) {
    std::vector<Value> row;
    row.push_back(Value::number(Number::unsigned64(rng() % 100000)));
    row.push_back(
        Value::number(Number::negative64(-static_cast<std::int64_t>(rng() % 1000000) - 1)));
    row.push_back(Value::number(Number::unsigned64(rng())));
    for (int j = 0; j < 5; ++j)
      row.push_back(Value::number(Number::from_double(typical[rng() % kInputs])));
    rows.push_back(Value::array(row));
  }
  return Value::array(rows);
}

void write_value(benchmark::State& state, const Value& value) {
  std::string out;
  Serializer(out).serialize(value);
  const std::size_t size = out.size();
  for (auto _ : state) {
    out.clear();
    Serializer(out).serialize(value);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
  state.counters["output_bytes"] = static_cast<double>(size);
}

void BM_StringHeavyValue(benchmark::State& state) {
  static const Value value = string_heavy_value();
  write_value(state, value);
}

void BM_NumberHeavyValue(benchmark::State& state) {
  static const Value value = number_heavy_value();
  write_value(state, value);
}

BENCHMARK(BM_StringHeavyValue)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NumberHeavyValue)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
