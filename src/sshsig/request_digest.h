// The digest of a request that a vote message carries: SHA-256 over the
// request exactly as its service recorded it, in one encoding (SSH wire
// encoding, docs/signed-votes.md) so that the operators' command, the
// service and any later verifier, each from its own copy, reach the same
// bytes:
//   string  "kelvane-operator-approval-request"
//   uint32  1                        the layout's version
//   string  request id
//   string  host                     the host whose service holds it
//   string  created at               as recorded (RFC 3339 text)
//   uint32  verified uid             the requester the service verified
//   string  verified user
//   byte    via sudo                 0 or 1
//   string  title
//   string  detail
//   string  action
//   string  requester                as asked
//   string  source host
//   string  target host
//   byte 0, or byte 1 ‖ string       operation digest, if any
//   byte 0, or byte 1 ‖ string       context (its JSON text), if any
//   uint64  timeout in seconds
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelvane::sshsig {

struct RecordedRequest {
  std::string id;
  std::string host;
  std::string created_at;
  std::uint32_t verified_uid = 0;
  std::string verified_user;
  bool via_sudo = false;
  std::string title;
  std::string detail;
  std::string action;
  std::string requester;
  std::string source_host;
  std::string target_host;
  std::optional<std::string> operation_digest;
  std::optional<std::string> context;
  std::uint64_t timeout_secs = 0;
};

// The bytes above, and their SHA-256 (32 raw bytes).
std::string recorded_request_bytes(const RecordedRequest& request);
std::string request_digest(const RecordedRequest& request);

}  // namespace kelvane::sshsig
