// Reading the client's command line into the fields of an approval request
// (the client, and the operators' `explain`, which reads the same options).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "approval/request.h"
#include "support/result.h"

namespace kelvane::approval {

// The three usage lines, written to standard error before status 2.
extern const std::string_view kUsageText;

// What ends option reading with status 2: everything to write on standard
// error, usage text included where it belongs.
struct UsageError {
  std::string output;
};

// Reads the arguments (program name already dropped) left to right, with
// `hostname` the value of HOSTNAME if set. On success the required fields
// have been checked; `id` is left empty.
Result<OperatorApprovalRequest, UsageError> parse_args(std::span<const std::string_view> args,
                                                       std::optional<std::string_view> hostname);

// The --timeout rule: an optional "+", then ASCII digits whose value fits in
// 64 bits (exactly checked); anything else is not a number.
std::optional<std::uint64_t> parse_timeout(std::string_view text) noexcept;

}  // namespace kelvane::approval
