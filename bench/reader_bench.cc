// Reader throughput: whole documents read into a Value, and the same
// documents skipped as the unknown member of a decision line. Each kind is
// measured at 1, 10 and 100 MB so that the cost of growth shows (it should
// be close to linear: 10x the size, at most about 11x the time, once the
// document no longer fits in the caches).
//
//   build/bench/bench/reader_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "approval/decision.h"
#include "json/json.h"

#include "rng.h"

namespace {

using kelvane::approval::decode_decision;
using kelvane::json::parse_value;

using kelvane::bench::Rng;

void append_string(std::string& out, Rng& rng, std::size_t length) {
  static constexpr std::string_view kPieces[] = {
      "the ",
      "quick ",
      "brown ",
      "fox ",
      "jumps ",
      "over ",
      "lazy ",
      "dogs ",
      "host-",
      "01 ",
      "\\n",
      "\\t",
      "\\\"",
      "\\u00e9",
      "\\u4e2d",
      "\\ud83d\\ude00",
      "\xC3\xA9",
      "\xE4\xB8\xAD",
      "\xF0\x9F\x98\x80",
      "path/to/file ",
  };
  constexpr std::size_t kCount = sizeof kPieces / sizeof kPieces[0];
  out += '"';
  std::size_t written = 0;
  while (written < length) {
    const std::string_view piece = kPieces[rng.below(8) != 0 ? rng.below(10) : rng.below(kCount)];
    out += piece;
    written += piece.size();
  }
  out += '"';
}

void append_number(std::string& out, Rng& rng) {
  char buf[48];
  int n = 0;
  switch (rng.below(4)) {
    case 0:
      n = std::snprintf(buf, sizeof buf, "%llu",
                        static_cast<unsigned long long>(rng.next() >> rng.below(64)));
      break;
    case 1:
      n = std::snprintf(buf, sizeof buf, "-%llu",
                        static_cast<unsigned long long>(rng.below(1000000000)));
      break;
    case 2:
      n = std::snprintf(buf, sizeof buf, "%llu.%llu",
                        static_cast<unsigned long long>(rng.below(100000)),
                        static_cast<unsigned long long>(rng.next() % 100000000000000ULL));
      break;
    default:
      n = std::snprintf(buf, sizeof buf, "%llu.%llue%d",
                        static_cast<unsigned long long>(rng.below(10)),
                        static_cast<unsigned long long>(rng.below(1000000000)),
                        static_cast<int>(rng.below(600)) - 300);
      break;
  }
  out.append(buf, static_cast<std::size_t>(n));
}

void append_object(std::string& out, Rng& rng) {
  out += '{';
  const std::uint64_t members = 4 + rng.below(8);
  for (std::uint64_t i = 0; i < members; ++i) {
    if (i != 0) out += ',';
    out += "\"key_";
    out += std::to_string(rng.below(5000));
    out += "\":";
    switch (rng.below(4)) {
      case 0:
        append_number(out, rng);
        break;
      case 1:
        append_string(out, rng, 8);
        break;
      case 2:
        out += rng.below(2) != 0 ? "true" : "null";
        break;
      default:
        out += "[1,2,{\"x\":false}]";
        break;
    }
  }
  out += '}';
}

enum Kind { Strings, Numbers, Objects };

// One array of elements of the kind, ending at the first element past `size`.
std::string document(Kind kind, std::size_t size) {
  Rng rng{42 + static_cast<std::uint64_t>(kind)};
  std::string out = "[";
  out.reserve(size + 4096);
  while (out.size() < size) {
    if (out.size() > 1) out += ',';
    switch (kind) {
      case Strings:
        append_string(out, rng, 16 + rng.below(112));
        break;
      case Numbers:
        append_number(out, rng);
        break;
      case Objects:
        append_object(out, rng);
        break;
    }
  }
  out += ']';
  return out;
}

const std::string& cached_document(Kind kind, std::size_t size) {
  static std::map<std::pair<Kind, std::size_t>, std::string> docs;
  std::string& d = docs[{kind, size}];
  if (d.empty()) d = document(kind, size);
  return d;
}

// Reading alone, into a heap in the state a fresh process has: the value
// is destroyed and the freed memory handed back outside the timed part, as
// the client reads one context per run. Otherwise the allocator's
// consolidation of the previous document's million small blocks lands in
// the next read and grows with the size of the heap, not of the document.
void BM_ReadValue(benchmark::State& state) {
  const std::string& doc =
      cached_document(static_cast<Kind>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) {
    {
      auto value = parse_value(doc);
      if (!value.ok()) state.SkipWithError(value.error().to_string().c_str());
      benchmark::DoNotOptimize(value);
      state.PauseTiming();
    }
    malloc_trim(0);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(doc.size()));
}

// The whole cycle, reading and destroying, back to back.
void BM_ReadAndDestroyValue(benchmark::State& state) {
  const std::string& doc =
      cached_document(static_cast<Kind>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) {
    auto value = parse_value(doc);
    if (!value.ok()) state.SkipWithError(value.error().to_string().c_str());
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(doc.size()));
}

void BM_SkipMember(benchmark::State& state) {
  const std::string& doc =
      cached_document(static_cast<Kind>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  const std::string line = "{\"unknown\":" + doc + ",\"verdict\":\"approved\",\"detail\":\"ok\"}";
  for (auto _ : state) {
    auto decision = decode_decision(line);
    if (!decision.ok()) state.SkipWithError(decision.error().to_string().c_str());
    benchmark::DoNotOptimize(decision);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}

constexpr std::int64_t kMB = 1 << 20;

void sizes(benchmark::internal::Benchmark* b) {
  for (std::int64_t kind : {Strings, Numbers, Objects}) {
    for (std::int64_t size : {kMB, 10 * kMB, 100 * kMB}) b->Args({kind, size});
  }
  b->ArgNames({"kind", "bytes"});
  b->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_ReadValue)->Apply(sizes);
BENCHMARK(BM_ReadAndDestroyValue)->Apply(sizes);
BENCHMARK(BM_SkipMember)->Apply(sizes);

BENCHMARK_MAIN();
