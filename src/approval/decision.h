// The approval service's answer to one request.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "json/error.h"
#include "support/io_error.h"
#include "support/result.h"

namespace kelvane::approval {

struct OperatorApprovalDecision {
  std::string verdict;
  std::string detail;
  std::optional<std::string> approval_token;    // absent or null on the wire
  std::optional<std::string> token_expires_at;  // absent or null on the wire
};

// Decodes the received line after its surrounding white space was trimmed:
// exactly one JSON object (any key order, unknown keys skipped) or array of
// four elements.
Result<OperatorApprovalDecision, json::Error> decode_decision(std::string_view text);

// A reader error as an I/O error with the same text: the end-of-input kinds
// become UnexpectedEof, everything else InvalidData.
io::Error io_error_from_json(const json::Error& error);

}  // namespace kelvane::approval
