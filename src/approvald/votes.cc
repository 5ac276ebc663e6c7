#include "votes.h"

#include "service/signed_vote.h"

namespace kelvane::approvald {

Result<VoteSignature, std::string> check_vote_signature(
    const service::RequestRecord& record, const service::OperatorRequest& request,
    std::string_view operator_name, const service::Config& config,
    std::span<const sshsig::AllowedSigner> keys, std::string_view service_host, std::int64_t now) {
  if (!request.signature || !request.signed_at) {
    if (!config.require_signed_votes) return VoteSignature{};
    return fail(
        std::string("this service requires signed votes: sign yours with your SSH key,"
                    " kelvane-operator-approvals approve|deny|watch --key FINGERPRINT"));
  }
  if (!config.operator_keys)
    return fail(
        std::string("this service checks no signed votes (it has no operator_keys);"
                    " vote without --key"));
  const std::int64_t at = *request.signed_at;
  if (at < now - kSignedVoteSkewSecs || at > now + kSignedVoteSkewSecs)
    return fail("the vote's signing time (" + std::to_string(at) +
                ") is more than 5 minutes from this service's clock (" + std::to_string(now) + ")");
  KOA_TRY(message, service::vote_message_for(record, service_host, request.approve, request.reason,
                                             operator_name, at));
  KOA_TRY(bytes, sshsig::write_vote_message(message));
  auto fingerprint = service::check_vote_signature(keys, bytes, *request.signature, operator_name,
                                                   {config.require_touch}, at);
  if (!fingerprint.ok()) return fail("the vote's signature is not taken: " + fingerprint.error());
  for (const service::VoteRecord& earlier : record.votes) {
    if (earlier.key_fingerprint == fingerprint.value())
      return fail("the key " + fingerprint.value() + " has already voted on request " + record.id +
                  " (for " + earlier.operator_name + "): one key, one vote");
  }
  return VoteSignature{request.signature, fingerprint.value(), at};
}

Result<Outcome, std::string> judge_vote(const service::RequestRecord& request,
                                        const service::Person& voter, bool approve) {
  if (auto refusal = service::not_one_more_vote(request, voter)) return fail(std::move(*refusal));
  std::uint64_t yes = 0;
  for (const service::VoteRecord& vote : request.votes) yes += vote.approve ? 1 : 0;
  if (!approve) return Outcome::Denied;
  return yes + 1 >= request.needed ? Outcome::Approved : Outcome::StillPending;
}

std::string verdict_detail(const service::RequestRecord& request, Outcome outcome) {
  if (outcome == Outcome::Denied) {
    for (const service::VoteRecord& vote : request.votes) {
      if (vote.approve) continue;
      if (vote.reason && !vote.reason->empty()) return *vote.reason;
      return "denied by " +
             (vote.operator_name.empty() ? "uid " + std::to_string(vote.uid) : vote.operator_name);
    }
    return "denied";
  }
  std::string detail = "approved by ";
  bool first = true;
  for (const service::VoteRecord& vote : request.votes) {
    if (!vote.approve) continue;
    if (!first) detail += ", ";
    first = false;
    detail += vote.operator_name.empty() ? "uid " + std::to_string(vote.uid) : vote.operator_name;
  }
  return detail;
}

}  // namespace kelvane::approvald
