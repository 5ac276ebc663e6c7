// Text that reaches a requester's terminal. The client and the sudo plugin
// print a verdict's detail as it is, so what the daemon puts there must show
// as itself: an operator's reason is checked when the vote comes in, and a
// detail again when the verdict goes out, since in the fleet a reason comes
// from the shared database, written by another host.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvane::approvald {

// Why an operator's reason is refused (it holds a control, bidirectional or
// invisible character, or a byte that is not UTF-8); nullopt when it may be
// sent as it is.
std::optional<std::string> reason_refusal(std::string_view reason);

// A verdict's detail as it goes to the requester: the text itself when every
// character shows as itself, else the text quoted with every other character
// escaped (\u{1b}), which keeps the line, the verdict and what the operator
// meant, and nothing a terminal would act on.
struct SentDetail {
  std::string text;
  bool escaped = false;
};
SentDetail detail_to_send(std::string_view detail);

}  // namespace kelvane::approvald
