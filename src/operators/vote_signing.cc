#include "operators/vote_signing.h"

#include "sshsig/agent.h"

namespace kelvane::operators {

Result<SignedVote, std::string> sign_vote(const sshsig::VoteMessage& vote,
                                          std::optional<std::string_view> key_fingerprint,
                                          std::optional<std::string_view> agent_socket,
                                          const std::function<void(std::string_view)>& tell) {
  if (!agent_socket || agent_socket->empty())
    return fail(std::string("no SSH agent to sign the vote: SSH_AUTH_SOCK is not set"));
  KOA_TRY(message, sshsig::write_vote_message(vote));
  KOA_TRY(agent, sshsig::AgentClient::connect(std::string(*agent_socket)));
  KOA_TRY(identities, agent.identities());
  KOA_TRY(key, sshsig::choose_agent_key(identities, key_fingerprint));
  const std::string fingerprint = sshsig::fingerprint(key);
  if (sshsig::is_security_key(key.type))
    tell("touch your security key (" + fingerprint + ") to sign the vote");
  KOA_TRY(signature, sshsig::sign_with_agent(agent, key, sshsig::kVoteNamespace, message,
                                             sshsig::HashAlgorithm::Sha512));
  return SignedVote{std::move(message), sshsig::armor(sshsig::write_signature_blob(signature)),
                    fingerprint};
}

}  // namespace kelvane::operators
