// The one message the client sends to the approval service in a run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "json/compact_text.h"

namespace kelvane::approval {

// Fields in wire order. The seven texts are always sent; the three optional
// members only when present.
struct OperatorApprovalRequest {
  std::string id;  // always empty in this client
  std::string title;
  std::string detail;
  std::string action;
  std::string requester;
  std::string source_host;
  std::string target_host;
  std::optional<std::string> operation_digest;
  // Already in the compact form it is sent in; a built json::Value can be
  // assigned and is written out then.
  std::optional<json::CompactText> context;
  std::optional<std::uint64_t> timeout_secs;
};

// The request line: compact JSON of the record followed by one line feed.
std::string encode_request_line(const OperatorApprovalRequest& request);

}  // namespace kelvane::approval
