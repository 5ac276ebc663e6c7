// Decoding any byte string as the decision record, as the connection does:
// only UTF-8 lines get that far, and they are trimmed first.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "approval/decision.h"
#include "support/utf8.h"
#include "support/whitespace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  if (!kelvane::utf8::is_valid(line)) return 0;
  const std::string_view text = kelvane::trim(line);
  auto result = kelvane::approval::decode_decision(text);
  if (result.ok()) {
    const kelvane::approval::OperatorApprovalDecision& d = result.value();
    // These are written to the terminal and to scripts as they are.
    if (!kelvane::utf8::is_valid(d.verdict) || !kelvane::utf8::is_valid(d.detail)) std::abort();
    if (d.approval_token && !kelvane::utf8::is_valid(*d.approval_token)) std::abort();
    if (d.token_expires_at && !kelvane::utf8::is_valid(*d.token_expires_at)) std::abort();
    return 0;
  }
  // Record errors too must leave with a position inside the trimmed text.
  const kelvane::json::Error& e = result.error();
  const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  if (!e.has_position() || e.line() > lines || e.column() > text.size()) std::abort();
  if (e.to_string().empty()) std::abort();
  return 0;
}
