// The agent client against fake agents that refuse, close, stall, answer
// too much or answer with the wrong key's signature.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "sshsig/agent.h"
#include "sshsig/fake_agent.h"
#include "sshsig/test_keys.h"
#include "sshsig/wire.h"
#include "testing/service.h"

namespace kelvane::sshsig {
namespace {

using namespace std::chrono_literals;
using kelvane::testing::Behaviour;
using kelvane::testing::FakeService;
using kelvane::testing::ServiceSetup;
using kelvane::testing::TempDir;
using testing::answer_each;
using testing::framed;
using testing::identities_answer;
using testing::sign_answer;
using testing::TestKey;

class FakeAgent : public ::testing::Test {
 protected:
  // Each on a socket of its own.
  std::unique_ptr<FakeService> start(Behaviour behaviour) {
    path_ = dir_.file("agent" + std::to_string(++started_));
    return std::make_unique<FakeService>(ServiceSetup(path_, std::move(behaviour)));
  }
  Result<AgentClient, std::string> connect(std::chrono::milliseconds timeout = 5s) {
    return AgentClient::connect(path_, timeout);
  }

  TempDir dir_;
  std::string path_;
  int started_ = 0;
  const TestKey key_{KeyType::Ed25519, 1};
};

TEST_F(FakeAgent, RefusalsAndBrokenAnswersAreErrorsThatName) {
  struct Case {
    const char* what;
    std::vector<std::string> answers;
    std::string error;
  };
  const Case cases[] = {
      {"closes at once", {}, "the agent closed the connection"},
      {"fails", {framed("\x05")}, "the agent refused to sign"},
      {"fails the other way", {framed("\x1e")}, "the agent refused to sign"},
      {"answers another type", {framed("\x0c")}, "an answer of type 12"},
      {"empty answer", {std::string(4, '\0')}, "an answer from the agent of 0 bytes"},
      {"huge answer", {"\x7f\xff\xff\xff"}, "an answer from the agent of 2147483647 bytes"},
      {"cut short", {"\x00\x00\x00\x10\x0e"}, "the agent closed the connection"},
      {"trailing bytes", {framed("\x0e" + framed("sig") + "x")}, "malformed"},
      {"another key's signature",
       {sign_answer(
           TestKey(KeyType::Ed25519, 2).sign(signed_data("ns", HashAlgorithm::Sha512, "m")))},
       "the agent's signature does not verify"},
  };
  for (const Case& c : cases) {
    auto agent = start(answer_each(c.answers));
    auto client = connect();
    ASSERT_TRUE(client.ok()) << client.error();
    auto signed_ = sign_with_agent(client.value(), key_.public_key(), "ns", "m");
    ASSERT_FALSE(signed_.ok()) << c.what;
    EXPECT_NE(signed_.error().find(c.error), std::string::npos)
        << c.what << ": " << signed_.error();
  }
}

TEST_F(FakeAgent, AStalledAgentTimesOutAndTheConnectionIsNotReused) {
  auto agent = start(answer_each({sign_answer("late")}, 1500ms));
  auto client = connect(200ms);
  ASSERT_TRUE(client.ok());
  auto first = client.value().sign(key_.public_key(), "data");
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error(), "the agent did not answer in time");
  // The late answer must never be taken for the answer to a later request.
  auto second = client.value().sign(key_.public_key(), "data");
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), "the agent connection was lost earlier");
}

TEST_F(FakeAgent, SignsAndChoosesKeys) {
  const TestKey security_key(KeyType::SkEd25519, 3);
  WireWriter rsa;
  rsa.string("ssh-rsa");
  rsa.string("\x01\x00\x01");
  const std::string data = signed_data("ns", HashAlgorithm::Sha512, "m");
  auto agent = start(answer_each(
      {identities_answer({rsa.bytes(), security_key.public_key().blob, key_.public_key().blob}),
       sign_answer(key_.sign(data))}));
  {
    auto client = connect();
    ASSERT_TRUE(client.ok());
    auto identities = client.value().identities();
    ASSERT_TRUE(identities.ok()) << identities.error();
    ASSERT_EQ(identities.value().size(), 3u);
    EXPECT_FALSE(identities.value()[0].key.has_value());
    EXPECT_EQ(identities.value()[0].comment, "comment");

    EXPECT_EQ(choose_agent_key(identities.value(), std::nullopt).value(),
              security_key.public_key());
    const std::string wanted = fingerprint(key_.public_key());
    EXPECT_EQ(choose_agent_key(identities.value(), wanted).value(), key_.public_key());
    auto missing = choose_agent_key(identities.value(), "SHA256:nothing");
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error().find("no usable key SHA256:nothing"), std::string::npos);
    EXPECT_FALSE(choose_agent_key({identities.value()[0]}, std::nullopt).ok());

    auto signature = sign_with_agent(client.value(), key_.public_key(), "ns", "m");
    ASSERT_TRUE(signature.ok()) << signature.error();
    EXPECT_EQ(signature.value().key, key_.public_key());
  }  // closes the connection: the fake agent waits for that
  // What went to the agent: a list request, then a sign request for the
  // SSHSIG signed data with flags 0.
  WireWriter expected;
  expected.byte(11);
  expected.byte(13);
  expected.string(key_.public_key().blob);
  expected.string(data);
  expected.uint32(0);
  EXPECT_EQ(agent->received(), expected.bytes());
}

TEST(Agent, NoSocketIsAClearError) {
  TempDir dir;
  auto missing = AgentClient::connect(dir.file("none"));
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().find("cannot reach the SSH agent at"), std::string::npos);
  EXPECT_FALSE(AgentClient::connect(std::string(200, 'a')).ok());
  EXPECT_FALSE(AgentClient::connect("").ok());
}

}  // namespace
}  // namespace kelvane::sshsig
