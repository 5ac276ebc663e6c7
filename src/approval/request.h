// The one message the client sends to the approval service in a run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.h"

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

// The request line as it is sent: the record's compact JSON with the
// context's text left out, and the point where that text belongs. A context
// of many megabytes is sent from where it already is instead of being copied
// into a second buffer of its size.
struct FramedRequestLine {
  std::string frame;      // the whole line, line feed included, but the context
  std::size_t split = 0;  // where the context goes in `frame`
  std::string_view context;

  // The line in the order it is sent: before, context, after.
  std::array<std::string_view, 3> pieces() const noexcept;
};

// `request` must outlive the result, which borrows its context.
FramedRequestLine frame_request_line(const OperatorApprovalRequest& request);

// The request line: compact JSON of the record followed by one line feed.
std::string encode_request_line(const OperatorApprovalRequest& request);

}  // namespace kelvane::approval
