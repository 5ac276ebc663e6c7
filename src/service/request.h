// The request line as a service understands it, checked member by
// member.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/value.h"
#include "support/result.h"

namespace kelvane::service {

struct Request {
  std::string id;
  std::string title;
  std::string detail;
  std::string action;
  std::string requester;
  std::string source_host;
  std::string target_host;
  std::optional<std::string> operation_digest;
  bool has_context = false;
  json::Value context;  // null unless has_context (a present null is null too)
  std::optional<std::uint64_t> timeout_secs;
};

// Reads one request line (without its line feed). Refuses, with the reason
// to send back as an invalid_request detail: bytes that are not UTF-8, JSON
// that does not read, anything but an object, a member that is unknown,
// repeated or of the wrong type, and a missing required member. The context
// may nest as deep as the client lets it (127 levels inside the request).
Result<Request, std::string> parse_request(std::string_view line);

}  // namespace kelvane::service
