// What an approval token says: the claims, as canonical JSON written by the
// project's own writer. A verifier reads them back only if they are exactly
// the text the writer would make of them, so that one set of claims has one
// text and therefore one signature.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "support/result.h"

namespace kelvane::token {

struct Claims {
  std::string request_id;                       // the service's decimal id
  std::optional<std::string> operation_digest;  // absent when the request had none
  std::uint64_t uid = 0;                        // the verified requester
  std::string user;                             // its name, "" if the uid has none
  std::string target_host;
  std::string action;
  std::vector<std::string> approvers;  // the user names of the yes votes
  std::uint64_t iat = 0;               // Unix seconds
  std::uint64_t exp = 0;               // Unix seconds
  std::string kid;                     // the signing key's id

  bool operator==(const Claims&) const = default;
};

// The canonical compact JSON of the claims (members in byte order).
std::string write_claims(const Claims& claims);
// The same with the approvers given as the JSON value a reader took from a
// larger claims object, so that read_claims checks them as they came.
std::string write_claims(const Claims& claims, const json::Value& approvers);

// The claims in `text`, or why they are not a canonical claims object: not
// UTF-8, not JSON, a member missing, unknown or of the wrong type, a kid or
// request id of the wrong form, exp not after iat, or any byte different
// from what write_claims makes of them.
Result<Claims, std::string> read_claims(std::string_view text);

// A key id: 16 lower-case hexadecimal digits.
bool is_key_id(std::string_view text) noexcept;

}  // namespace kelvane::token
