// The JSON reader on arbitrary bytes. Input that is not UTF-8 is refused
// before reading, as every caller does. Beyond not crashing:
// - what reads as a value also skips as a record's unknown member;
// - a value read and written back reads again (not always to the same
//   doubles: the reader composes a double with a table of powers of ten,
//   which is not always the nearest one to the shortest text the writer
//   gives, e.g. -1e-67 written as text and read again);
// - an error's position lies within the text;
// - taking the text apart (split_object, split_array) and reading each part
//   agrees with reading it whole: where the whole reads, the one split that
//   fits its kind gives parts that read to its members or elements; where
//   it is refused for anything but its depth, the split or a part is too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Every part read on its own, or nothing when one does not read.
std::optional<std::vector<kelvane::json::Value>> read_parts(
    const std::vector<std::string_view>& parts) {
  std::vector<kelvane::json::Value> values;
  for (const std::string_view part : parts) {
    auto value = kelvane::json::parse_value(part);
    if (!value.ok()) return std::nullopt;
    values.push_back(std::move(value).value());
  }
  return values;
}

void check_split(std::string_view text,
                 const kelvane::Result<kelvane::json::Value, kelvane::json::Error>& whole) {
  using kelvane::json::Value;
  auto object = kelvane::json::split_object(text);
  auto array = kelvane::json::split_array(text);
  std::vector<std::string_view> parts;
  if (object.ok()) {
    for (const auto& member : object.value()) parts.push_back(member.value);
  } else {
    check_position(object.error(), text);
  }
  if (array.ok()) {
    parts = array.value();
  } else {
    check_position(array.error(), text);
  }
  if (object.ok() && array.ok()) std::abort();
  for (const std::string_view part : parts) {
    if (part.data() < text.data() || part.data() + part.size() > text.data() + text.size())
      std::abort();
  }
  auto values = read_parts(parts);
  if (!whole.ok()) {
    if (whole.error().code() == kelvane::json::ErrorCode::RecursionLimitExceeded) return;
    if ((object.ok() || array.ok()) && values) std::abort();
    return;
  }
  const Value::Kind kind = whole.value().kind();
  if (object.ok() != (kind == Value::Kind::Object)) std::abort();
  if (array.ok() != (kind == Value::Kind::Array)) std::abort();
  if (!object.ok() && !array.ok()) return;
  if (!values) std::abort();
  std::string rebuilt;
  if (array.ok()) {
    rebuilt = kelvane::json::to_json(Value::array(*values));
  } else {
    kelvane::json::Map map;
    for (std::size_t i = 0; i < values->size(); ++i)
      map.insert(object.value()[i].key, std::move((*values)[i]));
    rebuilt = kelvane::json::to_json(std::move(map).to_value());
  }
  if (rebuilt != kelvane::json::to_json(whole.value())) std::abort();
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
  check_split(text, value);

  auto decision = kelvane::approval::decode_decision(text);
  if (!decision.ok()) check_position(decision.error(), text);
  return 0;
}
