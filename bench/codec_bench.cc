// The codec on whole documents, against RapidJSON and simdjson doing the
// same work: read a text into a document; write a document back compactly
// with every object's members in byte-wise key order; and, ours only, the
// text straight to that compact form (a peer's read plus write).
//
// Also number reading against std::from_chars on the same text.
//
// The documents come from gen_docs: $KOA_BENCH_DOCS/{strings,numbers,
// objects,deep}-$KOA_BENCH_SIZE.json (bench/run.sh makes them; defaults
// /tmp/koa-bench and 10M).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "peers.h"

namespace {

constexpr const char* kKinds[] = {"strings", "numbers", "objects", "deep"};

std::string load(const char* kind) {
  const char* dir = std::getenv("KOA_BENCH_DOCS");
  const char* size = std::getenv("KOA_BENCH_SIZE");
  const std::string path = std::string(dir ? dir : "/tmp/koa-bench") + "/" + kind + "-" +
                           (size ? size : "10M") + ".json";
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return text;
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t n = 0;
  while (n < text.size()) {
    const ssize_t r = ::read(fd, text.data() + n, text.size() - n);
    if (r <= 0) break;
    n += static_cast<std::size_t>(r);
  }
  ::close(fd);
  text.resize(n);
  return text;
}

// Each document is loaded once and kept for the whole run.
const std::string& doc(int kind) {
  static std::string docs[4];
  if (docs[kind].empty()) docs[kind] = load(kKinds[kind]);
  return docs[kind];
}

bool have(benchmark::State& state, const std::string& text) {
  if (!text.empty()) return true;
  state.SkipWithError("document missing: run bench/run.sh or gen_docs first");
  return false;
}

void read_ours(benchmark::State& state, int kind) {
  const std::string& text = doc(kind);
  if (!have(state, text)) return;
  for (auto _ : state) {
    auto value = kelvane::json::parse_value(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void write_ours(benchmark::State& state, int kind) {
  const std::string& text = doc(kind);
  if (!have(state, text)) return;
  auto value = kelvane::json::parse_value(text);
  if (!value.ok()) {
    state.SkipWithError("document does not read");
    return;
  }
  for (auto _ : state) {
    std::string out;
    kelvane::json::Serializer(out).serialize(value.value());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// What the client does with a context: the text to its compact form, with
// no tree in between (the peers' equivalent is read plus write).
void compact_ours(benchmark::State& state, int kind) {
  const std::string& text = doc(kind);
  if (!have(state, text)) return;
  for (auto _ : state) {
    auto compact = kelvane::json::CompactText::read(text);
    benchmark::DoNotOptimize(compact);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

#ifdef KOA_HAVE_RAPIDJSON
void read_rapidjson(benchmark::State& state, int kind) {
  const std::string& text = doc(kind);
  if (!have(state, text)) return;
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void write_rapidjson(benchmark::State& state, int kind) {
  const std::string& text = doc(kind);
  if (!have(state, text)) return;
  rapidjson::Document d;
  d.Parse(text.data(), text.size());
  std::vector<const rapidjson::Value::Member*> scratch;
  for (auto _ : state) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    peers::rj::write_sorted(d, w, scratch);
    benchmark::DoNotOptimize(buf.GetString());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
#endif

#ifdef KOA_HAVE_SIMDJSON
void read_simdjson(benchmark::State& state, int kind) {
  const std::string& text = doc(kind);
  if (!have(state, text)) return;
  const simdjson::padded_string padded(text);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element e;
    benchmark::DoNotOptimize(parser.parse(padded).get(e));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void write_simdjson(benchmark::State& state, int kind) {
  const std::string& text = doc(kind);
  if (!have(state, text)) return;
  const simdjson::padded_string padded(text);
  simdjson::dom::parser parser;
  simdjson::dom::element e;
  if (parser.parse(padded).get(e) != simdjson::SUCCESS) {
    state.SkipWithError("document does not read");
    return;
  }
  std::vector<peers::sj::Entry> scratch;
  for (auto _ : state) {
    std::string out;
    peers::sj::write_sorted(e, out, scratch);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
#endif

// Number reading alone: the numbers of the number-heavy document as one flat
// array, read by the reader into values, and by std::from_chars into doubles
// (stepping over the commas), over the same text.
const std::string& flat_numbers() {
  static std::string text;
  if (text.empty()) {
    const std::string& doc_text = doc(1);
    text.reserve(doc_text.size());
    text += '[';
    for (const char c : doc_text) {
      if (c != '[' && c != ']') text += c;
    }
    text += ']';
  }
  return text;
}

void numbers_ours(benchmark::State& state) {
  const std::string& text = flat_numbers();
  if (!have(state, doc(1))) return;
  for (auto _ : state) {
    auto value = kelvane::json::parse_value(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void numbers_from_chars(benchmark::State& state) {
  const std::string& text = flat_numbers();
  if (!have(state, doc(1))) return;
  std::vector<double> out;
  for (auto _ : state) {
    out.clear();
    const char* p = text.data() + 1;
    const char* const end = text.data() + text.size() - 1;
    while (p < end) {
      double d = 0;
      const auto r = std::from_chars(p, end, d);
      out.push_back(d);
      p = r.ptr + 1;  // the comma
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// The same literals read one at a time as whole texts by the reader, as
// std::from_chars reads them: the number alone, without the array around it
// and the million-element value it would build.
const std::vector<std::string_view>& number_literals() {
  static std::vector<std::string_view> literals;
  if (literals.empty()) {
    const std::string& text = flat_numbers();
    std::size_t at = 1;
    while (at < text.size() - 1) {
      std::size_t end = text.find(',', at);
      if (end == std::string::npos) end = text.size() - 1;
      literals.push_back(std::string_view(text).substr(at, end - at));
      at = end + 1;
    }
  }
  return literals;
}

void numbers_ours_each(benchmark::State& state) {
  if (!have(state, doc(1))) return;
  const std::vector<std::string_view>& literals = number_literals();
  std::vector<double> out;
  for (auto _ : state) {
    out.clear();
    for (const std::string_view literal : literals) {
      auto value = kelvane::json::parse_value(literal);
      const kelvane::json::Number n = value.value().as_number();
      out.push_back(n.kind() == kelvane::json::Number::Kind::Double
                        ? n.as_double()
                        : static_cast<double>(n.bits()));
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(flat_numbers().size()));
}

using Body = void (*)(benchmark::State&, int);

void add(const char* op, const char* lib, Body body) {
  for (int kind = 0; kind < 4; ++kind) {
    const std::string name = std::string(op) + "/" + lib + "/" + kKinds[kind];
    benchmark::RegisterBenchmark(name.c_str(), [body, kind](benchmark::State& s) {
      body(s, kind);
    })->Unit(benchmark::kMillisecond);
  }
}

// Registered before main runs: a benchmark program, not the client.
const bool registered = [] {
  add("read", "ours", read_ours);
#ifdef KOA_HAVE_RAPIDJSON
  add("read", "rapidjson", read_rapidjson);
#endif
#ifdef KOA_HAVE_SIMDJSON
  add("read", "simdjson", read_simdjson);
#endif
  add("write", "ours", write_ours);
  add("compact", "ours", compact_ours);
#ifdef KOA_HAVE_RAPIDJSON
  add("write", "rapidjson", write_rapidjson);
#endif
#ifdef KOA_HAVE_SIMDJSON
  add("write", "simdjson", write_simdjson);
#endif
  benchmark::RegisterBenchmark("numbers/ours", numbers_ours)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("numbers/ours_each", numbers_ours_each)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("numbers/from_chars", numbers_from_chars)
      ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
