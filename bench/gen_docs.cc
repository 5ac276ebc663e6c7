// Deterministic JSON documents for measuring, written on one line (no line
// feed anywhere, so the read-and-send baseline can put them in a request
// line as they are).
//
//   gen_docs KIND SIZE OUT
//
// KIND: strings   string-heavy: escapes, raw non-ASCII, surrogate pairs
//       numbers   number-heavy: doubles with up to 17 digits, integers
//       objects   many small objects with many distinct keys
//       deep      arrays nested 100 deep (the reader allows 127)
//       reply     a decision line: one huge member the decision does not
//                 have, then the verdict, a long detail and the token, and a
//                 final line feed
// SIZE: bytes, with an optional K or M suffix; the document ends at the first
//       element boundary past it.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "rng.h"

namespace {

using kelvane::bench::Rng;

void string_body(std::string& out, Rng& rng, std::size_t len) {
  static constexpr std::string_view kPieces[] = {
      "the ",    "quick ",        "brown ",         "fox ",    "jumps ",
      "over ",   "lazy ",         "dogs ",          "server-", "01 ",
      "\\n",     "\\t",           "\\\"",           "\\\\",    "\\/",
      "\\u00e9", "\\u4e2d",       "\\ud83d\\ude00", "\\u0001", "é",
      "ü",       "中文",          "日本",           "😀",       "€",
      "Ωμέγα ",  "path/to/file ", "x=1&y=2 ",
  };
  constexpr std::size_t kCount = sizeof kPieces / sizeof kPieces[0];
  std::size_t written = 0;
  while (written < len) {
    // Mostly plain words, with an escape or a non-ASCII piece now and then.
    const std::size_t i = rng.below(4) != 0 ? rng.below(10) : rng.below(kCount);
    out += kPieces[i];
    written += kPieces[i].size();
  }
}

void a_string(std::string& out, Rng& rng, std::size_t len) {
  out += '"';
  string_body(out, rng, len);
  out += '"';
}

void a_number(std::string& out, Rng& rng) {
  char buf[40];
  int n = 0;
  switch (rng.below(6)) {
    case 0:
      n = std::snprintf(buf, sizeof buf, "%" PRIu64, rng.next() >> rng.below(64));
      break;
    case 1:
      n = std::snprintf(buf, sizeof buf, "-%" PRIu64, (rng.next() >> 1) >> rng.below(63));
      break;
    case 2:
      n = std::snprintf(buf, sizeof buf, "%.17g", rng.unit() * 1000.0);
      break;
    case 3:
      n = std::snprintf(buf, sizeof buf, "%.16e",
                        (rng.unit() - 0.5) * 1e-300 * static_cast<double>(rng.below(1000) + 1));
      break;
    case 4:
      n = std::snprintf(buf, sizeof buf, "%.15g", (rng.unit() - 0.5) * 1e12);
      break;
    default:
      n = std::snprintf(buf, sizeof buf, "%.16fE%d", rng.unit(),
                        static_cast<int>(rng.below(600)) - 300);
      break;
  }
  out.append(buf, static_cast<std::size_t>(n));
}

constexpr std::string_view kKeys[] = {
    "id",       "name",    "enabled",    "owner",      "region",  "zone",   "cpu",   "memory",
    "disk",     "labels",  "created_at", "updated_at", "version", "Status", "_meta", "port",
    "protocol", "weight",  "tier",       "team",       "cost",    "uptime", "Alpha", "beta",
    "gamma",    "delta",   "epsilon",    "zeta",       "host",    "ip",     "mask",  "vlan",
    "ttl",      "retries", "timeoutMs",  "ñandú",      "größe",   "clé",
};
constexpr std::size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

void a_key(std::string& out, Rng& rng) {
  out += '"';
  out += kKeys[rng.below(kKeyCount)];
  if (rng.below(3) == 0) out += std::to_string(rng.below(100));
  out += "\":";
}

void a_scalar(std::string& out, Rng& rng) {
  switch (rng.below(6)) {
    case 0:
      out += "null";
      break;
    case 1:
      out += rng.below(2) ? "true" : "false";
      break;
    case 2:
    case 3:
      a_number(out, rng);
      break;
    default:
      a_string(out, rng, rng.below(24));
      break;
  }
}

void small_object(std::string& out, Rng& rng) {
  // Keys in no particular order, a few of them repeated.
  const std::size_t members = rng.below(8) == 0 ? 20 + rng.below(40) : 2 + rng.below(8);
  out += '{';
  for (std::size_t i = 0; i < members; ++i) {
    if (i) out += rng.below(4) == 0 ? ", " : ",";
    a_key(out, rng);
    if (rng.below(10) == 0) {
      out += "{";
      a_key(out, rng);
      a_scalar(out, rng);
      out += "}";
    } else {
      a_scalar(out, rng);
    }
  }
  out += '}';
}

void number_row(std::string& out, Rng& rng) {
  out += '[';
  for (int i = 0; i < 16; ++i) {
    if (i) out += ',';
    a_number(out, rng);
  }
  out += ']';
}

// One chain of arrays 100 levels deep, with two scalars beside each level.
void deep_chain(std::string& out, Rng& rng) {
  constexpr int kDepth = 100;
  for (int d = 0; d < kDepth; ++d) {
    out += '[';
    a_scalar(out, rng);
    out += ',';
    a_scalar(out, rng);
    out += ',';
  }
  a_scalar(out, rng);
  out.append(kDepth, ']');
}

using Element = void (*)(std::string&, Rng&);

void element_array(std::string& out, Rng& rng, std::size_t size, Element element) {
  out += '[';
  bool first = true;
  while (out.size() < size) {
    if (!first) out += ',';
    first = false;
    element(out, rng);
  }
  out += ']';
}

void long_string(std::string& out, Rng& rng) {
  a_string(out, rng, 16 + rng.below(200));
}

void mixed(std::string& out, Rng& rng) {
  switch (rng.below(4)) {
    case 0:
      long_string(out, rng);
      break;
    case 1:
      number_row(out, rng);
      break;
    default:
      small_object(out, rng);
      break;
  }
}

void reply(std::string& out, Rng& rng, std::size_t size) {
  // The decision skips "attachments" whole; about a tenth is the detail.
  const std::size_t detail = size / 10;
  out += "{\"attachments\":";
  element_array(out, rng, size - detail - 200, mixed);
  out += ",\"verdict\":\"approved\",\"detail\":\"";
  const std::size_t start = out.size();
  while (out.size() - start < detail) string_body(out, rng, 4096);
  out += "\",\"approvalToken\":\"tok-7d41e2\",\"tokenExpiresAt\":null}\n";
}

std::size_t parse_size(const char* text) {
  char* end = nullptr;
  std::size_t n = std::strtoull(text, &end, 10);
  if (*end == 'K' || *end == 'k') n <<= 10;
  if (*end == 'M' || *end == 'm') n <<= 20;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: gen_docs strings|numbers|objects|deep|reply SIZE OUT\n", stderr);
    return 2;
  }
  const std::string_view kind = argv[1];
  const std::size_t size = parse_size(argv[2]);
  Rng rng{0x6b656c76616e65ULL + size};
  std::string out;
  out.reserve(size + (1 << 16));
  if (kind == "strings") {
    element_array(out, rng, size, long_string);
  } else if (kind == "numbers") {
    element_array(out, rng, size, number_row);
  } else if (kind == "objects") {
    element_array(out, rng, size, small_object);
  } else if (kind == "deep") {
    element_array(out, rng, size, deep_chain);
  } else if (kind == "reply") {
    reply(out, rng, size);
  } else {
    std::fprintf(stderr, "gen_docs: unknown kind %s\n", argv[1]);
    return 2;
  }
  std::FILE* f = std::fopen(argv[3], "wb");
  if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
    std::perror(argv[3]);
    return 1;
  }
  return 0;
}
