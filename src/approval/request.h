// The one message the client sends to the approval service in a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "json/value.h"

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
  std::optional<json::Value> context;
  std::optional<std::uint64_t> timeout_secs;
  // The length of the text the context was read from, or 0 if unknown. Its
  // compact form is about as long, which sizes the request line without a
  // walk over a tree of millions of values. Never sent.
  std::size_t context_text_size = 0;
};

// The request line: compact JSON of the record followed by one line feed.
std::string encode_request_line(const OperatorApprovalRequest& request);

}  // namespace kelvane::approval
