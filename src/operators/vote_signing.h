// Signing one vote through the operator's SSH agent, for approve, deny and
// watch: the agent's key chosen by --key (or the agent's first usable key),
// the vote message signed in the vote namespace, and the operator told to
// touch a security key while the agent waits for it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "sshsig/vote_message.h"
#include "support/result.h"

namespace kelvane::operators {

struct SignedVote {
  std::string message;          // the vote message's bytes
  std::string signature;        // armored, as ssh-keygen -Y sign writes it
  std::string key_fingerprint;  // "SHA256:..."
};

// `agent_socket`: SSH_AUTH_SOCK's value (unset: no agent). `tell` receives
// one line for the operator before a security key is asked to sign.
Result<SignedVote, std::string> sign_vote(const sshsig::VoteMessage& vote,
                                          std::optional<std::string_view> key_fingerprint,
                                          std::optional<std::string_view> agent_socket,
                                          const std::function<void(std::string_view)>& tell);

}  // namespace kelvane::operators
