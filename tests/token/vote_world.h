// Operators with real SSH keys (made by ssh-keygen) who sign votes with
// ssh-keygen -Y sign, a request as a service recorded it, and the koa2
// tokens a service would issue for it: what the koa2 tests build on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sshsig/request_digest.h"
#include "testing/service.h"
#include "token/signing_key.h"
#include "token/token_with_votes.h"

namespace kelvane::token::testing {

inline constexpr std::uint64_t kApprovedAt = 1'800'000'000;

class VoteWorld {
 public:
  // Keys "alice" (Ed25519), "bob" (ECDSA P-256), "carol" and "mallory"
  // (Ed25519). ready() is false without ssh-keygen.
  VoteWorld();
  bool ready() const { return ready_; }

  // "TYPE BASE64" of a key, as its .pub file has it.
  std::string public_key(const std::string& key) const;
  // An allowed-signers file: one line per (principals, key).
  std::string allowed_signers(const std::vector<std::pair<std::string, std::string>>& lines) const;

  // The request as the service recorded it (id "17", to reboot web-03).
  static sshsig::RecordedRequest request(const std::string& id = "17");
  // The bytes of `name`'s vote on `request`.
  static std::string message(const sshsig::RecordedRequest& request, const std::string& name,
                             bool approve = true, std::uint64_t at = kApprovedAt - 30);
  // ssh-keygen -Y sign's armored signature of `message` by `key`.
  std::string sign(const std::string& key, std::string_view message,
                   std::string_view name_space = "kelvane-operator-approval") const;
  // A vote by `name` with `key` on `request`, as the service records it.
  RecordedVote vote(const std::string& key, const std::string& name,
                    const sshsig::RecordedRequest& request) const;

  // The claims a service would put in the token of `request`.
  Claims claims(const sshsig::RecordedRequest& request,
                const std::vector<std::string>& approvers) const;
  const SigningKey& service_key() const { return service_key_; }
  PublicKey published() const { return {service_key_.kid(), service_key_.public_key(), {}}; }

  // The koa2 token with these votes (by key and name) on `request`.
  std::string token(const std::vector<std::pair<std::string, std::string>>& votes,
                    const sshsig::RecordedRequest& request = VoteWorld::request()) const;

  const kelvane::testing::TempDir& dir() const { return dir_; }

 private:
  kelvane::testing::TempDir dir_;
  SigningKey service_key_;
  bool ready_ = false;
};

}  // namespace kelvane::token::testing
