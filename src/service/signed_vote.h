// A signed vote as this service carries it: the message an operator's key
// signs for a vote on a request the service shows (built alike by the
// operators' command from the request it was shown and by the daemon from
// its own record), and the check of a vote's signature against the
// administrator's allowed-signers file (operator_keys).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "service/operator_protocol.h"
#include "sshsig/allowed_signers.h"
#include "sshsig/request_digest.h"
#include "sshsig/vote_message.h"
#include "support/result.h"

namespace kelvane::service {

// The vote message of a vote on `record` taken by the service that stands
// for `service_host`: the request's host is record.host (the fleet's) or
// else that service's, and the operator votes from `service_host`.
// `signed_at` must not be before 1970.
Result<sshsig::VoteMessage, std::string> vote_message_for(const RequestRecord& record,
                                                          std::string_view service_host,
                                                          bool approve,
                                                          const std::optional<std::string>& reason,
                                                          std::string_view operator_user,
                                                          std::int64_t signed_at);

// The request exactly as recorded, in the fields the request digest covers.
sshsig::RecordedRequest recorded_request_of(const RequestRecord& record,
                                            std::string_view request_host);

// The allowed-signers file at `path`, read whole: a regular file (no link)
// of root or this process's user, writable by nobody else, in a folder
// nobody else can change; any line that does not read refuses it all.
Result<std::vector<sshsig::AllowedSigner>, std::string> load_operator_keys(const std::string& path);

struct SignatureRules {
  bool require_touch = false;  // only the security-key types, with a touch
};

// `signature` (armored, or its base64 blob) is a signature of `message` in
// the vote namespace by a key that `signers` lets `operator_name` sign with
// at `when`; its key's fingerprint ("SHA256:..."), or why not.
Result<std::string, std::string> check_vote_signature(
    std::span<const sshsig::AllowedSigner> signers, std::string_view message,
    std::string_view signature, std::string_view operator_name, const SignatureRules& rules,
    std::int64_t when);

}  // namespace kelvane::service
