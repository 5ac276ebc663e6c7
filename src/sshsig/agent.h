// A client of the SSH agent (SSH_AUTH_SOCK), speaking its protocol
// directly: list the keys it holds, and have one sign. Each message is a
// uint32 length, a type byte and its payload; every length read is capped
// and every wait is bounded, so that an agent that stalls, closes or
// answers nonsense is an error, never a hang.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sshsig/detached_signature.h"
#include "sshsig/public_key.h"
#include "support/file_descriptor.h"
#include "support/result.h"

namespace kelvane::sshsig {

inline constexpr std::size_t kMaxAgentMessageBytes = 256 * 1024;
inline constexpr std::uint32_t kMaxAgentIdentities = 1024;
// A security key waits for its touch; ssh's own tools give it about this.
inline constexpr std::chrono::seconds kAgentTimeout{120};

struct AgentIdentity {
  std::string blob;
  std::string comment;
  // Unset for a key of a type votes cannot be signed with (RSA, ...).
  std::optional<PublicKey> key;
};

class AgentClient {
 public:
  // Connects to the agent's socket at `path`.
  static Result<AgentClient, std::string> connect(
      const std::string& path, std::chrono::milliseconds timeout = kAgentTimeout);

  Result<std::vector<AgentIdentity>, std::string> identities();
  // The agent's signature blob of `data` by `key`. The flags only choose an
  // RSA hash; for the types here they are 0.
  Result<std::string, std::string> sign(const PublicKey& key, std::string_view data,
                                        std::uint32_t flags = 0);

 private:
  explicit AgentClient(FileDescriptor socket) : socket_(std::move(socket)) {}
  // Sends `request` (type and payload) and reads one answer (type and
  // payload).
  Result<std::string, std::string> exchange(std::string_view request);

  FileDescriptor socket_;
};

// The agent socket named by SSH_AUTH_SOCK, or why there is none.
Result<std::string, std::string> agent_socket_from_environment();

// The key to sign with: the one whose fingerprint ("SHA256:...") is
// `fingerprint`, or without one the first key of a supported type in the
// agent's order (the order the keys were added).
Result<PublicKey, std::string> choose_agent_key(const std::vector<AgentIdentity>& identities,
                                                std::optional<std::string_view> fingerprint);

// The detached signature of `message` in `name_space` by `key`, made by the
// agent (which signs the signed data of detached_signature.h). Checked
// before it is returned, so that an agent answering with another key's or a
// broken signature is caught here. Whether a security key was touched is
// left to the verifier.
Result<DetachedSignature, std::string> sign_with_agent(AgentClient& agent, const PublicKey& key,
                                                       std::string_view name_space,
                                                       std::string_view message,
                                                       HashAlgorithm hash = HashAlgorithm::Sha512);

}  // namespace kelvane::sshsig
