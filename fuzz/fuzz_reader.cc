// The JSON reader on arbitrary bytes. Input that is not UTF-8 is refused
// before reading, as every caller does. Beyond not crashing:
// - what reads as a value also skips as a record's unknown member;
// - a value read and written back reads again (not always to the same
//   doubles: the reader composes a double with a table of powers of ten,
//   which is not always the nearest one to the shortest text the writer
//   gives, e.g. -1e-67 written as text and read again);
// - an error's position lies within the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "approval/decision.h"
#include "json/json.h"
#include "support/utf8.h"

namespace {

void check_position(const kelvane::json::Error& e, std::string_view text) {
  if (e.line() == 0) return;
  std::size_t lines = 1;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  if (e.line() > lines || e.column() > text.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!kelvane::utf8::is_valid(text)) return 0;

  auto value = kelvane::json::parse_value(text);
  const std::string member = std::string(R"({"verdict":"a","detail":"b","x":)").append(text) + "}";
  const bool skipped = kelvane::approval::decode_decision(member).ok();
  if (value.ok()) {
    if (!skipped) std::abort();
    const std::string written = kelvane::json::to_json(value.value());
    if (!kelvane::json::parse_value(written).ok()) std::abort();
  } else {
    check_position(value.error(), text);
  }

  auto decision = kelvane::approval::decode_decision(text);
  if (!decision.ok()) check_position(decision.error(), text);
  return 0;
}
