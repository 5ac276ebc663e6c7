#include "operators/signed_token.h"

#include <climits>
#include <cstdlib>
#include <memory>

#include "service/signed_vote.h"
#include "token/token_with_votes.h"
#include "token/vote_proof.h"

namespace kelvane::operators {
namespace {

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::optional<std::string> real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

// The administrator's allowed-signers file, held to the service's rules for
// operator_keys (root's or this user's, writable by nobody else, in a folder
// nobody else can change), and never in the folder of the service's
// published files.
Result<std::vector<sshsig::AllowedSigner>, std::string> load_operators(
    const std::string& path, const std::string& public_keys_path) {
  const auto folder = real_path(folder_of(path));
  if (folder && folder == real_path(folder_of(public_keys_path))) {
    return fail("cannot use --operators " + path +
                ": it lies among the service's published files; the allowed signers must come "
                "from your administrator, not from a service");
  }
  auto signers = service::load_operator_keys(path);
  if (!signers.ok()) {
    std::string why = std::move(signers).error();
    constexpr std::string_view kConfigName = "operator_keys: ";
    if (std::string_view(why).starts_with(kConfigName)) why.erase(0, kConfigName.size());
    return fail("cannot use --operators: " + why);
  }
  return std::move(signers).value();
}

}  // namespace

bool needs_vote_checks(const Invocation& invocation, std::string_view token) {
  return invocation.operators.has_value() || token.starts_with(token::kTokenWithVotesPrefix);
}

Result<std::string, std::string> verify_signed_token(const Invocation& invocation,
                                                     std::string_view token,
                                                     const token::PublishedFiles& files,
                                                     const std::string& public_keys_path,
                                                     std::uint64_t now) {
  std::vector<sshsig::AllowedSigner> signers;
  if (invocation.operators) {
    KOA_TRY(loaded, load_operators(*invocation.operators, public_keys_path));
    signers = std::move(loaded);
    if (token.starts_with(token::kTokenPrefix)) {
      return fail(std::string(token::refusal_word(token::Refusal::NoSignedVotes)) +
                  ": a koa1. token carries no votes; it proves only that the service approved");
    }
  }
  token::Expectations expected;
  expected.digest = invocation.digest;
  expected.target_host = invocation.target_host;
  expected.now = now;
  auto claims = token::verify_token_with_votes(token, files.keys, files.revoked, expected);
  if (!claims.ok()) return fail(std::move(claims).error().line);
  if (invocation.operators) {
    token::ProofRules rules;
    rules.min_approvers = static_cast<std::size_t>(invocation.min_approvers.value_or(1));
    auto proven = token::prove_approvals(claims.value(), signers, rules);
    if (!proven.ok()) return fail(std::move(proven).error().line);
  }
  return token::write_claims_with_votes(claims.value()) + "\n";
}

}  // namespace kelvane::operators
