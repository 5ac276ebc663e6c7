// verify's checks of a token against the operators' own keys: a koa2
// token's votes proven with the administrator's allowed-signers file
// (--operators, --min-approvers), and a koa2 token read without one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "operators/options.h"
#include "support/result.h"
#include "token/published.h"

namespace kelvane::operators {

// True when verify must read `token` as koa2 or check votes: a koa2
// token, or --operators given.
bool needs_vote_checks(const Invocation& invocation, std::string_view token);

// The line verify prints (the claims, with a line feed) when `token` is a
// genuine koa2 token for what `invocation` names and, with --operators,
// its votes prove at least --min-approvers distinct people; otherwise the
// refusal's line. A koa1 token with --operators is refused: it carries no
// votes. The file must not be one the service published (it lies beside
// `public_keys_path`): that proves nothing the service could not write.
Result<std::string, std::string> verify_signed_token(const Invocation& invocation,
                                                     std::string_view token,
                                                     const token::PublishedFiles& files,
                                                     const std::string& public_keys_path,
                                                     std::uint64_t now);

}  // namespace kelvane::operators
