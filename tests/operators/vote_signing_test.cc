// Signing a vote through an SSH agent: a real ssh-agent with an ssh-keygen
// key, and a fake one holding a security key, for the touch prompt.
#include "operators/vote_signing.h"

#include "fake_daemon.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>

#include "service/operator_protocol.h"
#include "sshsig/allowed_signers.h"
#include "sshsig/digest.h"
#include "sshsig/fake_agent.h"
#include "sshsig/test_keys.h"
#include "sshsig/verify.h"
#include "testing/service.h"

namespace kelvane::operators {
namespace {

using kelvane::testing::read_file;
using kelvane::testing::TempDir;

sshsig::VoteMessage sample_vote() {
  sshsig::VoteMessage vote;
  vote.request_id = "17";
  vote.request_digest = sshsig::sha256("request 17");
  vote.vote = sshsig::Vote::Deny;
  vote.reason = "not during business hours";
  vote.operator_user = "alice";
  vote.operator_host = "ops1";
  vote.time = 1'800'000'000;
  return vote;
}

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The signature of `signed_vote` holds for its message, which reads back as
// `vote`; the key that made it.
sshsig::PublicKey check_signed(const SignedVote& signed_vote, const sshsig::VoteMessage& vote,
                               bool touched) {
  EXPECT_EQ(sshsig::read_vote_message(signed_vote.message).value(), vote);
  auto blob = sshsig::dearmor(signed_vote.signature);
  EXPECT_TRUE(blob.ok());
  auto signature = sshsig::read_signature_blob(blob.value());
  EXPECT_TRUE(signature.ok());
  sshsig::Requirements requirements;
  requirements.user_presence = touched;
  EXPECT_TRUE(sshsig::verify_detached(signature.value(), signed_vote.message,
                                      sshsig::kVoteNamespace, requirements)
                  .ok());
  EXPECT_EQ(sshsig::fingerprint(signature.value().key), signed_vote.key_fingerprint);
  return signature.value().key;
}

TEST(VoteSigning, SignsWithTheRealAgentsKeyAndRefusesWithoutOne) {
  if (shell("command -v ssh-keygen >/dev/null && command -v ssh-agent >/dev/null") != 0)
    GTEST_SKIP() << "ssh-keygen and ssh-agent are needed (openssh-client)";
  TempDir dir;
  const std::string socket = dir.file("agent.sock");
  ASSERT_EQ(shell("ssh-keygen -q -t ed25519 -N '' -f " + dir.file("key") + " && ssh-agent -a " +
                  socket + " -s > " + dir.file("env")),
            0);
  const std::string env = read_file(dir.file("env"));
  const pid_t agent = std::atoi(env.c_str() + env.find("SSH_AGENT_PID=") + 14);
  ASSERT_GT(agent, 0);
  struct Stop {
    pid_t pid;
    ~Stop() { ::kill(pid, SIGTERM); }
  } stop{agent};
  ASSERT_EQ(shell("SSH_AUTH_SOCK=" + socket + " ssh-add -q " + dir.file("key") + " 2>/dev/null"),
            0);
  const sshsig::PublicKey key =
      sshsig::read_allowed_signers("alice " + read_file(dir.file("key.pub"))).value()[0].key;

  std::vector<std::string> told;
  const auto tell = [&](std::string_view line) { told.emplace_back(line); };
  const std::string key_fingerprint = sshsig::fingerprint(key);
  for (const std::optional<std::string_view> chosen :
       {std::optional<std::string_view>(), std::optional<std::string_view>(key_fingerprint)}) {
    auto signed_vote = sign_vote(sample_vote(), chosen, socket, tell);
    ASSERT_TRUE(signed_vote.ok()) << signed_vote.error();
    EXPECT_EQ(check_signed(signed_vote.value(), sample_vote(), false), key);
  }
  EXPECT_TRUE(told.empty()) << "no touch to ask of a plain key";

  const std::string other = "SHA256:tQj//agFVaFi7377Vf/22ROWstcqrLVo2kxrYIe6L98";
  struct Refusal {
    std::optional<std::string_view> fingerprint;
    std::optional<std::string_view> socket;
    std::string message;
  };
  const std::string missing_agent = dir.file("none");  // outlives the views below
  const Refusal refusals[] = {
      {other, socket, "the SSH agent holds no usable key " + other},
      {std::nullopt, std::nullopt, "SSH_AUTH_SOCK is not set"},
      {std::nullopt, "", "SSH_AUTH_SOCK is not set"},
      {std::nullopt, missing_agent, "cannot reach the SSH agent"},
  };
  for (const Refusal& r : refusals) {
    auto refused = sign_vote(sample_vote(), r.fingerprint, r.socket, tell);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().find(r.message), std::string::npos) << refused.error();
  }
  sshsig::VoteMessage unsignable = sample_vote();
  unsignable.operator_user = "";
  EXPECT_FALSE(sign_vote(unsignable, std::nullopt, socket, tell).ok());
}

TEST(VoteSigning, AsksForATouchBeforeASecurityKeySigns) {
  TempDir dir;
  const sshsig::testing::TestKey key(sshsig::KeyType::SkEd25519, 3);
  const std::string message = sshsig::write_vote_message(sample_vote()).value();
  const std::string data =
      sshsig::signed_data(sshsig::kVoteNamespace, sshsig::HashAlgorithm::Sha512, message);
  kelvane::testing::FakeService agent(kelvane::testing::ServiceSetup(
      dir.file("agent"),
      sshsig::testing::answer_each({sshsig::testing::identities_answer({key.public_key().blob}),
                                    sshsig::testing::sign_answer(key.sign(data))})));
  std::vector<std::string> told;
  auto signed_vote = sign_vote(sample_vote(), std::nullopt, dir.file("agent"),
                               [&](std::string_view line) { told.emplace_back(line); });
  ASSERT_TRUE(signed_vote.ok()) << signed_vote.error();
  check_signed(signed_vote.value(), sample_vote(), true);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0], "touch your security key (" + sshsig::fingerprint(key.public_key()) +
                         ") to sign the vote");
}

TEST(VoteSigning, AVoteAskedToBeSignedIsNeverSentUnsigned) {
  // --key: the command asks for the request first; when the daemon takes no
  // signed votes (no serviceHost), or no agent can sign, no vote is sent.
  service::RequestRecord record;
  record.id = "1";
  record.state = "pending";
  record.created_at = "2026-12-07T20:00:00Z";
  service::OperatorAnswer without_signing;
  without_signing.request = record;
  service::OperatorAnswer with_signing = without_signing;
  with_signing.service_host = "ops1";
  with_signing.signed_votes = true;
  ::unsetenv("SSH_AUTH_SOCK");  // the second case has no agent
  testing::FakeDaemon daemon;
  daemon.serve({service::encode_answer(without_signing), service::encode_answer(with_signing)});
  const std::string key = "SHA256:tQj//agFVaFi7377Vf/22ROWstcqrLVo2kxrYIe6L98";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--socket", daemon.path(), "approve", "1", "--key", key}, "takes no signed votes"},
      {{"--socket", daemon.path(), "deny", "1", "--reason", "no", "--key", key},
       "no SSH agent to sign the vote"},
  };
  for (const auto& [args, says] : cases) {
    const testing::Ran ran = testing::run_approvals(args, std::nullopt);
    EXPECT_EQ(ran.status, 1);
    EXPECT_NE(ran.err.find(says), std::string::npos) << ran.err;
  }
  const std::vector<std::string> received = daemon.received();
  ASSERT_EQ(received.size(), 2u);
  for (const std::string& line : received) EXPECT_EQ(line, R"({"id":"1","op":"show"})");
}

}  // namespace
}  // namespace kelvane::operators
