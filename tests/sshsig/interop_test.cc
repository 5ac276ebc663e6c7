// Interoperation with the real tools: ssh-keygen's signatures verify here,
// the agent's signatures made here verify with ssh-keygen, fingerprints are
// the ones ssh-keygen prints, security-key signatures built by the format's
// rules verify with ssh-keygen, and allowed-signers options decide as
// ssh-keygen decides.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <ctime>

#include "sshsig/agent.h"
#include "sshsig/allowed_signers.h"
#include "sshsig/digest.h"
#include "sshsig/test_keys.h"
#include "sshsig/verify.h"
#include "sshsig/vote_message.h"
#include "testing/service.h"

namespace kelvane::sshsig {
namespace {

using kelvane::testing::read_file;
using kelvane::testing::TempDir;
using kelvane::testing::write_file;

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string vote_bytes(std::string_view reason) {
  VoteMessage message;
  message.request_id = "r-17";
  message.request_digest = sha256("{\"request\":17}");
  message.vote = Vote::Approve;
  message.reason = std::string(reason);
  message.operator_user = "alice";
  message.operator_host = "ops1";
  message.time = 1'800'000'000;
  return write_vote_message(message).value();
}

class WithSshTools : public ::testing::Test {
 protected:
  void SetUp() override {
    if (shell("command -v ssh-keygen >/dev/null && command -v ssh-agent >/dev/null") != 0)
      GTEST_SKIP() << "ssh-keygen and ssh-agent are needed (openssh-client)";
    write_file(dir_.file("message"), vote_bytes("routine\nreboot"));
  }
  void TearDown() override {
    if (agent_pid_ > 0) ::kill(agent_pid_, SIGTERM);
  }

  // A key made by ssh-keygen: "ed25519" or "ecdsa".
  std::string make_key(const std::string& name, const std::string& type) {
    const std::string path = dir_.file(name);
    EXPECT_EQ(shell("ssh-keygen -q -t " + type + (type == "ecdsa" ? " -b 256" : "") + " -N '' -C " +
                    name + " -f " + path),
              0);
    return path;
  }
  PublicKey public_key_of(const std::string& path) {
    auto signers = read_allowed_signers("x " + read_file(path + ".pub"));
    EXPECT_TRUE(signers.ok()) << signers.error();
    return signers.value().at(0).key;
  }
  std::string start_agent() {
    const std::string socket = dir_.file("agent.sock");
    EXPECT_EQ(shell("ssh-agent -a " + socket + " -s > " + dir_.file("agent.env")), 0);
    const std::string env = read_file(dir_.file("agent.env"));
    const std::size_t at = env.find("SSH_AGENT_PID=");
    if (at != std::string::npos) agent_pid_ = std::atoi(env.c_str() + at + 14);
    EXPECT_GT(agent_pid_, 0);
    return socket;
  }
  // ssh-keygen -Y verify's exit status for `signature` over the message.
  int keygen_verify(const std::string& allowed, std::string_view principal,
                    const std::string& armored, std::string_view name_space = kVoteNamespace,
                    const std::string& message = "message") {
    write_file(dir_.file("allowed"), allowed);
    write_file(dir_.file("sig"), armored);
    return shell("ssh-keygen -Y verify -f " + dir_.file("allowed") + " -I '" +
                 std::string(principal) + "' -n " + std::string(name_space) + " -s " +
                 dir_.file("sig") + " < " + dir_.file(message) + " > " + dir_.file("out") +
                 " 2>&1");
  }

  TempDir dir_;
  pid_t agent_pid_ = -1;
};

TEST_F(WithSshTools, KeygenSignaturesVerifyHereAndFingerprintsAgree) {
  for (const std::string& type : {std::string("ed25519"), std::string("ecdsa")}) {
    const std::string key = make_key("key-" + type, type);
    const PublicKey public_key = public_key_of(key);
    ASSERT_EQ(shell("ssh-keygen -l -f " + key + ".pub | cut -d' ' -f2 > " + dir_.file("fp")), 0);
    EXPECT_EQ(read_file(dir_.file("fp")), fingerprint(public_key) + "\n");
    for (const std::string& hash : {std::string(), std::string("-O hashalg=sha256 ")}) {
      std::remove(dir_.file("message.sig").c_str());
      ASSERT_EQ(shell("ssh-keygen -q -Y sign -f " + key + " -n kelvane-operator-approval " + hash +
                      dir_.file("message") + " 2>/dev/null"),
                0);
      auto blob = dearmor(read_file(dir_.file("message.sig")));
      ASSERT_TRUE(blob.ok()) << blob.error();
      auto signature = read_signature_blob(blob.value());
      ASSERT_TRUE(signature.ok()) << signature.error();
      EXPECT_EQ(signature.value().hash,
                hash.empty() ? HashAlgorithm::Sha512 : HashAlgorithm::Sha256);
      const std::string message = read_file(dir_.file("message"));
      auto verified = verify_detached(signature.value(), message, kVoteNamespace);
      ASSERT_TRUE(verified.ok()) << type << " " << hash << verified.error();
      EXPECT_EQ(verified.value().key, public_key);
      EXPECT_FALSE(
          verify_detached(signature.value(), vote_bytes("routine\nreboot!"), kVoteNamespace).ok());
      EXPECT_FALSE(verify_detached(signature.value(), message, "file").ok());
    }
  }
}

TEST_F(WithSshTools, AgentSignaturesVerifyWithKeygen) {
  const std::string ed25519 = make_key("alice-ed25519", "ed25519");
  const std::string ecdsa = make_key("alice-ecdsa", "ecdsa");
  const std::string socket = start_agent();
  ASSERT_EQ(
      shell("SSH_AUTH_SOCK=" + socket + " ssh-add -q " + ed25519 + " " + ecdsa + " 2>/dev/null"),
      0);
  auto agent = AgentClient::connect(socket);
  ASSERT_TRUE(agent.ok()) << agent.error();
  auto identities = agent.value().identities();
  ASSERT_TRUE(identities.ok()) << identities.error();
  ASSERT_EQ(identities.value().size(), 2u);
  EXPECT_EQ(choose_agent_key(identities.value(), std::nullopt).value(), public_key_of(ed25519));

  const std::string allowed = "alice " + read_file(ed25519 + ".pub") + "alice " +
                              read_file(ecdsa + ".pub") + "bob " +
                              key_text(testing::TestKey(KeyType::Ed25519, 1).public_key()) + "\n";
  const std::string message = read_file(dir_.file("message"));
  for (const std::string& key : {ed25519, ecdsa}) {
    auto chosen = choose_agent_key(identities.value(), fingerprint(public_key_of(key)));
    ASSERT_TRUE(chosen.ok()) << chosen.error();
    for (const HashAlgorithm hash : {HashAlgorithm::Sha512, HashAlgorithm::Sha256}) {
      auto signature =
          sign_with_agent(agent.value(), chosen.value(), kVoteNamespace, message, hash);
      ASSERT_TRUE(signature.ok()) << signature.error();
      const std::string armored = armor(write_signature_blob(signature.value()));
      EXPECT_EQ(keygen_verify(allowed, "alice", armored), 0) << read_file(dir_.file("out"));
      EXPECT_NE(keygen_verify(allowed, "bob", armored), 0);
      EXPECT_NE(keygen_verify(allowed, "alice", armored, "file"), 0);
      write_file(dir_.file("altered"), message + " ");
      EXPECT_NE(keygen_verify(allowed, "alice", armored, kVoteNamespace, "altered"), 0);
    }
  }
  // A key the agent does not hold: the agent refuses.
  auto refused = sign_with_agent(agent.value(), testing::TestKey(KeyType::Ed25519, 1).public_key(),
                                 kVoteNamespace, message);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().find("the agent refused to sign"), std::string::npos);
}

TEST_F(WithSshTools, SecurityKeySignaturesBuiltByTheRulesVerifyWithKeygen) {
  const std::string message = read_file(dir_.file("message"));
  for (const KeyType type : {KeyType::SkEd25519, KeyType::SkEcdsaP256}) {
    const testing::TestKey key(type, 8);
    const std::string allowed = "alice " + key_text(key.public_key()) + "\n";
    const std::string touched =
        armor(key.sign_detached(kVoteNamespace, message, HashAlgorithm::Sha512, kUserPresent, 42));
    EXPECT_EQ(keygen_verify(allowed, "alice", touched), 0)
        << type_name(type) << ": " << read_file(dir_.file("out"));
    EXPECT_NE(keygen_verify(allowed, "alice", touched, "file"), 0);
    // ssh-keygen takes an untouched signature as good (it only reports the
    // flags); a vote's verifier does not.
    const std::string untouched =
        armor(key.sign_detached(kVoteNamespace, message, HashAlgorithm::Sha512, 0, 43));
    EXPECT_EQ(keygen_verify(allowed, "alice", untouched), 0) << read_file(dir_.file("out"));
    auto read = read_signature_blob(dearmor(untouched).value());
    ASSERT_TRUE(read.ok());
    EXPECT_FALSE(verify_detached(read.value(), message, kVoteNamespace).ok());
  }
}

TEST_F(WithSshTools, AllowedSignersOptionsDecideAsKeygenDecides) {
  const std::string key = make_key("alice", "ed25519");
  ASSERT_EQ(shell("ssh-keygen -q -Y sign -f " + key + " -n kelvane-operator-approval " +
                  dir_.file("message") + " 2>/dev/null"),
            0);
  const std::string armored = read_file(dir_.file("message.sig"));
  const std::string key_line = read_file(key + ".pub");
  const PublicKey public_key = public_key_of(key);
  struct Case {
    std::string principals;
    std::string options;
    std::string principal;
    std::string name_space;
  };
  const Case cases[] = {
      {"alice", "", "alice", "kelvane-operator-approval"},
      {"alice", "", "Alice", "kelvane-operator-approval"},
      {"alice", "", "alice", "file"},
      {"al*,!bob", "", "alice", "kelvane-operator-approval"},
      {"*,!alice", "", "alice", "kelvane-operator-approval"},
      {"\"carol,alice\"", "", "alice", "kelvane-operator-approval"},
      {"alice", "namespaces=\"kelvane-*\"", "alice", "kelvane-operator-approval"},
      {"alice", "namespaces=\"file,git\"", "alice", "kelvane-operator-approval"},
      {"alice", "namespaces=\"*,!kelvane-operator-approval\"", "alice",
       "kelvane-operator-approval"},
      {"alice", "Namespaces=\"kelvane-operator-approval\"", "alice", "kelvane-operator-approval"},
      {"alice", "namespaces=kelvane-operator-approval", "alice", "kelvane-operator-approval"},
      {"alice", "valid-after=\"20200101Z\"", "alice", "kelvane-operator-approval"},
      {"alice", "valid-after=\"29990101Z\"", "alice", "kelvane-operator-approval"},
      {"alice", "valid-before=\"20200101\"", "alice", "kelvane-operator-approval"},
      {"alice", "valid-before=\"29990101123000\"", "alice", "kelvane-operator-approval"},
      {"alice", "valid-after=\"20200101Z\",valid-before=\"2999010112\"", "alice",
       "kelvane-operator-approval"},
      {"alice", "cert-authority", "alice", "kelvane-operator-approval"},
      {"alice", "no-touch-required", "alice", "kelvane-operator-approval"},
      {"alice", "bogus", "alice", "kelvane-operator-approval"},
  };
  const std::string message = read_file(dir_.file("message"));
  const DetachedSignature signature = read_signature_blob(dearmor(armored).value()).value();
  for (const Case& c : cases) {
    const std::string allowed =
        c.principals + " " + (c.options.empty() ? "" : c.options + " ") + key_line;
    const bool keygen = keygen_verify(allowed, c.principal, armored, c.name_space) == 0;
    bool ours = false;
    if (auto signers = read_allowed_signers(allowed); signers.ok()) {
      ours = verify_detached(signature, message, c.name_space).ok() &&
             find_signer(signers.value(), c.principal, public_key, c.name_space, std::time(nullptr))
                 .ok();
    }
    EXPECT_EQ(ours, keygen) << allowed << " for " << c.principal << " in " << c.name_space;
  }
}

}  // namespace
}  // namespace kelvane::sshsig
