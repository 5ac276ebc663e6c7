#include "token/vote_world.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "sshsig/vote_message.h"

namespace kelvane::token::testing {
namespace {

using kelvane::testing::read_file;
using kelvane::testing::write_file;

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SigningKey fixed_service_key() {
  std::array<std::uint8_t, kKeyBytes> secret{};
  secret.fill(9);
  return SigningKey::from_secret(secret);
}

}  // namespace

VoteWorld::VoteWorld() : service_key_(fixed_service_key()) {
  if (shell("command -v ssh-keygen >/dev/null") != 0) return;
  const std::pair<const char*, const char*> keys[] = {{"alice", "-t ed25519"},
                                                      {"bob", "-t ecdsa -b 256"},
                                                      {"carol", "-t ed25519"},
                                                      {"mallory", "-t ed25519"}};
  for (const auto& [name, type] : keys) {
    if (shell(std::string("ssh-keygen -q ") + type + " -N '' -C " + name + " -f " +
              dir_.file(name)) != 0)
      return;
  }
  ready_ = true;
}

std::string VoteWorld::public_key(const std::string& key) const {
  std::string line = read_file(dir_.file(key) + ".pub");
  // "TYPE BASE64 COMMENT\n": the first two words.
  const std::size_t second = line.find(' ', line.find(' ') + 1);
  return line.substr(0, second);
}

std::string VoteWorld::allowed_signers(
    const std::vector<std::pair<std::string, std::string>>& lines) const {
  std::string text;
  for (const auto& [principals, key] : lines) text += principals + " " + public_key(key) + "\n";
  return text;
}

sshsig::RecordedRequest VoteWorld::request(const std::string& id) {
  sshsig::RecordedRequest r;
  r.id = id;
  r.host = "approvals-1";
  r.created_at = "2027-01-15T07:59:00Z";
  r.verified_uid = 1000;
  r.verified_user = "deploy";
  r.title = "Reboot web-03";
  r.detail = "Kernel update";
  r.action = "reboot";
  r.requester = "deploy";
  r.source_host = "ci-01";
  r.target_host = "web-03";
  r.operation_digest = "sha256:aa";
  r.timeout_secs = 300;
  return r;
}

std::string VoteWorld::message(const sshsig::RecordedRequest& request, const std::string& name,
                               bool approve, std::uint64_t at) {
  sshsig::VoteMessage m;
  m.request_id = request.id;
  m.request_digest = sshsig::request_digest(request);
  m.vote = approve ? sshsig::Vote::Approve : sshsig::Vote::Deny;
  m.operator_user = name;
  m.operator_host = request.host;
  m.time = at;
  return sshsig::write_vote_message(m).value();
}

std::string VoteWorld::sign(const std::string& key, std::string_view message,
                            std::string_view name_space) const {
  const std::string path = dir_.file("message");
  write_file(path, message);
  std::remove((path + ".sig").c_str());
  EXPECT_EQ(shell("ssh-keygen -q -Y sign -f " + dir_.file(key) + " -n " + std::string(name_space) +
                  " " + path + " 2>/dev/null"),
            0);
  return read_file(path + ".sig");
}

RecordedVote VoteWorld::vote(const std::string& key, const std::string& name,
                             const sshsig::RecordedRequest& request) const {
  const std::string bytes = message(request, name);
  return {bytes, sign(key, bytes)};
}

Claims VoteWorld::claims(const sshsig::RecordedRequest& request,
                         const std::vector<std::string>& approvers) const {
  Claims c;
  c.request_id = request.id;
  c.operation_digest = request.operation_digest;
  c.uid = request.verified_uid;
  c.user = request.verified_user;
  c.target_host = request.target_host;
  c.action = request.action;
  c.approvers = approvers;
  c.iat = kApprovedAt;
  c.exp = kApprovedAt + 600;
  c.kid = service_key_.kid();
  return c;
}

std::string VoteWorld::token(const std::vector<std::pair<std::string, std::string>>& votes,
                             const sshsig::RecordedRequest& request) const {
  std::vector<RecordedVote> recorded;
  std::vector<std::string> names;
  for (const auto& [key, name] : votes) {
    recorded.push_back(vote(key, name, request));
    names.push_back(name);
  }
  auto issued = issue_token_with_votes(claims(request, names), request, recorded, service_key_);
  EXPECT_TRUE(issued.ok()) << issued.error();
  return issued.ok() ? issued.value() : std::string();
}

}  // namespace kelvane::token::testing
