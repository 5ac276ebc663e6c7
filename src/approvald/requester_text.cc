#include "requester_text.h"

#include "support/hex.h"
#include "support/quoting.h"
#include "support/visible_text.h"

namespace kelvane::approvald {

std::optional<std::string> reason_refusal(std::string_view reason) {
  const std::optional<visible::Unprintable> found = visible::first_unprintable(reason);
  if (!found) return std::nullopt;
  std::string what;
  if (found->c == 0xFFFD && found->length != 3) {
    what = "the byte 0x";
    hex::append_digits(what, static_cast<unsigned char>(reason[found->at]), 2);
    what += ", which is not UTF-8,";
  } else {
    what = "U+";
    hex::append_digits(what, found->c, found->c > 0xFFFF ? 6 : 4);
  }
  return "the reason holds " + what + " at byte " + std::to_string(found->at) +
         ": a reason is shown on the requester's terminal and may hold no control, "
         "bidirectional or invisible character (nor a line feed or tab)";
}

SentDetail detail_to_send(std::string_view detail) {
  if (!visible::first_unprintable(detail)) return {std::string(detail), false};
  return {quoted(detail), true};
}

}  // namespace kelvane::approvald
