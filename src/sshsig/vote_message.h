// The message an operator's key signs for one vote. It binds the vote to
// one request and nothing else: the request's id and a digest of the
// request exactly as its service recorded it, the vote and its reason, who
// voted from where, and when. Both sides build it from their own copy of the
// request (the operators' command from the request it shows, a verifier
// from its record), never from a digest someone hands them. The layout
// (docs/signed-votes.md) is SSH wire encoding, so that it has exactly one
// reading:
//   string  "kelvane-operator-approval-vote"
//   uint32  1                      the layout's version
//   string  request id
//   string  "sha256"               the request digest's algorithm
//   string  request digest         32 bytes
//   string  "approve" or "deny"
//   string  reason                 UTF-8, may be empty
//   string  operator's user name   UTF-8
//   string  operator's host        UTF-8
//   uint64  time                   seconds since 1970-01-01 UTC
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::sshsig {

// The namespace of every vote's signature.
inline constexpr std::string_view kVoteNamespace = "kelvane-operator-approval";
inline constexpr std::uint32_t kVoteMessageVersion = 1;
inline constexpr std::size_t kRequestDigestBytes = 32;
inline constexpr std::size_t kMaxVoteMessageBytes = 64 * 1024;

enum class Vote { Approve, Deny };

struct VoteMessage {
  std::string request_id;
  std::string request_digest;  // request_digest.h, 32 raw bytes
  Vote vote = Vote::Deny;
  std::string reason;
  std::string operator_user;
  std::string operator_host;
  std::uint64_t time = 0;

  friend bool operator==(const VoteMessage&, const VoteMessage&) = default;
};

// The message's bytes. Requires what read_vote_message checks (a 32-byte
// digest, non-empty id, user and host, UTF-8 texts); otherwise says which
// field is wrong, so that no message is signed that no verifier would read.
Result<std::string, std::string> write_vote_message(const VoteMessage& message);

// The fields of a message, refusing any other version, a field out of its
// form, or bytes after the end.
Result<VoteMessage, std::string> read_vote_message(std::string_view bytes);

}  // namespace kelvane::sshsig
