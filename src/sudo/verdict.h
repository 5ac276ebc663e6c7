// What check() answers sudo, and what the user reads: the same lines as the
// client prints for the same outcome.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "approval/decision.h"
#include "support/io_error.h"
#include "support/message_prefix.h"
#include "support/result.h"

namespace kelvane::sudo {

// check()'s return values.
enum CheckStatus : int {
  kRun = 1,      // the operator approved
  kRefused = 0,  // the operator denied
  kError = -1,   // no usable answer: the command does not run either
};

// How every message ends when the command does not run.
inline constexpr std::string_view kNotRun = "; the command was not run";

// The message prefix and `words` as one NUL-terminated array, made when the
// plugin is built: a message that needs no allocation, and a C string that
// stays valid for as long as sudo holds it.
template <std::size_t WordsSize>
consteval std::array<char, kMessagePrefix.size() + WordsSize> prefixed(
    const char (&words)[WordsSize]) {
  std::array<char, kMessagePrefix.size() + WordsSize> text{};
  std::copy(kMessagePrefix.begin(), kMessagePrefix.end(), text.begin());
  std::copy(words, words + WordsSize, text.begin() + kMessagePrefix.size());
  return text;
}

// Printed before the wait for the operator, when sudo has a terminal.
inline constexpr auto kWaitingText = prefixed("waiting for the operator's approval\u2026\n");
inline constexpr std::string_view kWaiting(kWaitingText.data(), kWaitingText.size() - 1);

struct Verdict {
  int status;
  std::string message;  // whole lines, for sudo's printf on the error stream
  std::string reason;   // one line for errstr, which sudo hands to its audit plugins
};

// Approved (exactly "approved"): run, with the APPROVED line and the token's
// expiry; the token itself is not shown, it would only end up in the
// command's output. Denied: refused, the detail as the reason. Any other
// verdict, and every failure of the exchange: an error.
Verdict verdict_of(const Result<approval::OperatorApprovalDecision, io::Error>& outcome);

// No request could be built for the command (the reason says why).
Verdict refusal(std::string_view reason);

// A signal ended the wait for the operator.
Verdict interruption(int signal);

}  // namespace kelvane::sudo
