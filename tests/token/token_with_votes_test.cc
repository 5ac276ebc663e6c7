// koa2 tokens: issued from real ssh-keygen signatures, read back, their
// votes proven against an allowed-signers file, and every way a token or a
// vote in it is refused (altered, removed, replayed, unknown key, one person
// or one key twice, too few approvers, garbled, oversized).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sshsig/agent.h"
#include "sshsig/allowed_signers.h"
#include "sshsig/base64.h"
#include "sshsig/detached_signature.h"
#include "support/base64url.h"
#include "token/envelope.h"
#include "token/token.h"
#include "token/token_with_votes.h"
#include "token/vote_proof.h"
#include "token/vote_world.h"

namespace kelvane::token {
namespace {

using testing::kApprovedAt;
using testing::VoteWorld;

constexpr std::uint64_t kNow = kApprovedAt + 60;

Expectations at(std::uint64_t now) {
  Expectations e;
  e.now = now;
  return e;
}

std::vector<sshsig::AllowedSigner> signers_of(const std::string& text) {
  auto read = sshsig::read_allowed_signers(text);
  EXPECT_TRUE(read.ok()) << read.error();
  return read.ok() ? std::move(read).value() : std::vector<sshsig::AllowedSigner>{};
}

class TokenWithVotes : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!world_.ready()) GTEST_SKIP() << "ssh-keygen is needed (openssh-client)";
    operators_ = signers_of(world_.allowed_signers({{"alice", "alice"}, {"bob", "bob"}}));
  }

  Result<ClaimsWithVotes, TokenRefusal> read(const std::string& token) {
    const PublicKey keys[] = {world_.published()};
    return verify_token_with_votes(token, keys, {}, at(kNow));
  }
  // The token verified, then its votes proven against `signers`.
  Result<std::vector<ProvenApproval>, TokenRefusal> prove(
      const std::string& token, const std::vector<sshsig::AllowedSigner>& signers,
      std::size_t min_approvers) {
    KOA_TRY(claims, read(token));
    return prove_approvals(claims, signers, {.min_approvers = min_approvers});
  }
  // What a service that holds the signing key could make of `claims`.
  std::string resigned(const ClaimsWithVotes& claims) {
    return sign_token_with_votes(claims, world_.service_key());
  }

  VoteWorld world_;
  std::vector<sshsig::AllowedSigner> operators_;
};

TEST_F(TokenWithVotes, AGenuineTokenProvesItsApprovers) {
  const std::string token = world_.token({{"alice", "alice"}, {"bob", "bob"}});
  ASSERT_TRUE(token.starts_with("koa2."));
  auto proven = prove(token, operators_, 2);
  ASSERT_TRUE(proven.ok()) << proven.error().line;
  ASSERT_EQ(proven.value().size(), 2u);
  EXPECT_EQ(proven.value()[0].name, "alice");
  EXPECT_EQ(proven.value()[1].name, "bob");
  EXPECT_TRUE(proven.value()[1].key_fingerprint.starts_with("SHA256:"));
  EXPECT_NE(proven.value()[0].key_fingerprint, proven.value()[1].key_fingerprint);

  // The claims read back are the request's and one canonical text.
  auto claims = read(token);
  ASSERT_TRUE(claims.ok());
  EXPECT_EQ(claims.value().request.detail, "Kernel update");
  EXPECT_EQ(claims.value().claims.approvers, (std::vector<std::string>{"alice", "bob"}));
  EXPECT_EQ(sign_token_with_votes(claims.value(), world_.service_key()), token);
}

TEST_F(TokenWithVotes, EachReaderRefusesTheOtherFormat) {
  const std::string koa2 = world_.token({{"alice", "alice"}});
  const PublicKey keys[] = {world_.published()};
  auto as_koa1 = verify_token(koa2, keys, {}, at(kNow));
  ASSERT_FALSE(as_koa1.ok());
  EXPECT_EQ(as_koa1.error().line, "malformed: a koa2. token, where koa1. is read here");

  const std::string koa1 =
      sign_token(world_.claims(VoteWorld::request(), {"alice"}), world_.service_key());
  auto as_koa2 = read(koa1);
  ASSERT_FALSE(as_koa2.ok());
  EXPECT_EQ(as_koa2.error().line, "malformed: a koa1. token, where koa2. is read here");
  // And koa1 verifies as it always did.
  EXPECT_TRUE(verify_token(koa1, keys, {}, at(kNow)).ok());
}

TEST_F(TokenWithVotes, AVoteFromTheTokenVerifiesWithSshKeygen) {
  auto claims = read(world_.token({{"bob", "bob"}}));
  ASSERT_TRUE(claims.ok());
  const auto& dir = world_.dir();
  kelvane::testing::write_file(dir.file("vote.msg"), claims.value().votes[0].message);
  kelvane::testing::write_file(dir.file("vote.sig"),
                               sshsig::armor(claims.value().votes[0].signature));
  kelvane::testing::write_file(dir.file("allowed"), world_.allowed_signers({{"bob", "bob"}}));
  const std::string command = "ssh-keygen -Y verify -n kelvane-operator-approval -f " +
                              dir.file("allowed") + " -I bob -s " + dir.file("vote.sig") + " < " +
                              dir.file("vote.msg") + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(TokenWithVotes, AVoteSignedThroughARealAgentIsProven) {
  const auto& dir = world_.dir();
  const std::string socket = dir.file("agent.sock");
  const std::string env = dir.file("agent.env");
  ASSERT_EQ(std::system(("ssh-agent -a " + socket + " -s > " + env + " && SSH_AUTH_SOCK=" + socket +
                         " ssh-add -q " + dir.file("bob") + " 2>/dev/null")
                            .c_str()),
            0);
  const std::string agent_env = kelvane::testing::read_file(env);
  const std::size_t at_pid = agent_env.find("SSH_AGENT_PID=");
  ASSERT_NE(at_pid, std::string::npos);
  const pid_t agent_pid = std::atoi(agent_env.c_str() + at_pid + 14);
  struct Stop {
    pid_t pid;
    ~Stop() { ::kill(pid, SIGTERM); }
  } stop{agent_pid};

  const sshsig::RecordedRequest request = VoteWorld::request();
  const std::string message = VoteWorld::message(request, "bob");
  auto agent = sshsig::AgentClient::connect(socket);
  ASSERT_TRUE(agent.ok()) << agent.error();
  auto identities = agent.value().identities();
  ASSERT_TRUE(identities.ok()) << identities.error();
  auto key = sshsig::choose_agent_key(identities.value(), std::nullopt);
  ASSERT_TRUE(key.ok()) << key.error();
  auto signature =
      sshsig::sign_with_agent(agent.value(), key.value(), sshsig::kVoteNamespace, message);
  ASSERT_TRUE(signature.ok()) << signature.error();
  const RecordedVote vote{message, sshsig::armor(sshsig::write_signature_blob(signature.value()))};
  auto token = issue_token_with_votes(world_.claims(request, {"bob"}), request,
                                      std::vector<RecordedVote>{vote}, world_.service_key());
  ASSERT_TRUE(token.ok()) << token.error();
  auto proven = prove(token.value(), operators_, 1);
  ASSERT_TRUE(proven.ok()) << proven.error().line;
  EXPECT_EQ(proven.value().at(0).name, "bob");
}

TEST_F(TokenWithVotes, RefusesVotesThatProveNothing) {
  const sshsig::RecordedRequest request = VoteWorld::request();
  auto genuine = read(world_.token({{"alice", "alice"}, {"bob", "bob"}}));
  ASSERT_TRUE(genuine.ok());
  const ClaimsWithVotes base = genuine.value();

  // A vote of its own in place of alice's.
  auto with_first = [&](RecordedVote vote, std::string name = "alice") {
    ClaimsWithVotes c = base;
    auto blob = sshsig::dearmor(vote.signature);
    EXPECT_TRUE(blob.ok());
    auto detached = sshsig::read_signature_blob(blob.value());
    EXPECT_TRUE(detached.ok()) << detached.error();
    c.votes[0] = {vote.message, blob.value(), sshsig::fingerprint(detached.value().key)};
    c.claims.approvers[0] = std::move(name);
    return c;
  };
  ClaimsWithVotes altered = base;  // the reason changed after signing
  {
    auto m = sshsig::read_vote_message(altered.votes[0].message).value();
    m.reason = "no objection";
    altered.votes[0].message = sshsig::write_vote_message(m).value();
  }
  ClaimsWithVotes removed = base;
  removed.votes.pop_back();
  removed.claims.approvers.pop_back();
  sshsig::RecordedRequest other_host = request;
  other_host.target_host = "db-01";
  const std::string deny = VoteWorld::message(request, "alice", false);
  const std::string late = VoteWorld::message(request, "alice", true, kApprovedAt + 301);
  const std::string git = VoteWorld::message(request, "alice");
  const auto alice_for_two = signers_of(world_.allowed_signers({{"alice,bob", "alice"}}));

  const struct {
    std::string name;
    ClaimsWithVotes claims;
    std::vector<sshsig::AllowedSigner> signers;
    std::size_t min;
    Refusal reason;
    std::string line_start;
  } cases[] = {
      {"altered message", altered, operators_, 1, Refusal::BadVote,
       "bad vote: vote 1 (\"alice\"): "},
      {"removed vote", removed, operators_, 2, Refusal::TooFewApprovers,
       "too few approvers: 1 distinct person with distinct keys approved; 2 are required"},
      {"vote of another request",
       with_first(world_.vote("alice", "alice", VoteWorld::request("18"))), operators_, 1,
       Refusal::OtherRequest, "other request: vote 1: it was signed for request \"18\""},
      {"vote of another request of the same id",
       with_first(world_.vote("alice", "alice", other_host)), operators_, 1, Refusal::OtherRequest,
       "other request: vote 1: it was signed for another request of id \"17\""},
      {"unknown key", with_first(world_.vote("mallory", "alice", request)), operators_, 1,
       Refusal::UnknownSigner, "unknown signer: vote 1 (\"alice\"): the key SHA256:"},
      {"a name the file does not know", with_first(world_.vote("carol", "carol", request), "carol"),
       operators_, 1, Refusal::UnknownSigner, "unknown signer: vote 1 (\"carol\")"},
      {"a denial", with_first({deny, world_.sign("alice", deny)}), operators_, 1, Refusal::BadVote,
       "bad vote: vote 1: it denies the request"},
      {"signed in another namespace", with_first({git, world_.sign("alice", git, "git")}),
       operators_, 1, Refusal::BadVote, "bad vote: vote 1 (\"alice\"): "},
      {"signed after the token", with_first({late, world_.sign("alice", late)}), operators_, 1,
       Refusal::BadVote, "bad vote: vote 1 (\"alice\"): it was signed after the token was made"},
      {"a voter the file lists with another key", base, alice_for_two, 2, Refusal::UnknownSigner,
       "unknown signer: vote 2 (\"bob\")"},
      {"min-approvers not met", base, operators_, 3, Refusal::TooFewApprovers,
       "too few approvers: 2 distinct people with distinct keys approved; 3 are required"},
  };
  for (const auto& c : cases) {
    auto proven = prove(resigned(c.claims), c.signers, c.min);
    ASSERT_FALSE(proven.ok()) << c.name;
    EXPECT_EQ(proven.error().reason, c.reason) << c.name << ": " << proven.error().line;
    EXPECT_TRUE(proven.error().line.starts_with(c.line_start))
        << c.name << ": " << proven.error().line;
    EXPECT_EQ(proven.error().line.find('\n'), std::string::npos) << c.name;
  }
}

TEST_F(TokenWithVotes, OnePersonOrOneKeyApprovesOnce) {
  // alice twice, with two keys the file lists for her.
  const auto alice_two_keys =
      signers_of(world_.allowed_signers({{"alice", "alice"}, {"alice", "carol"}}));
  const std::string twice = world_.token({{"alice", "alice"}, {"carol", "alice"}});
  auto person = prove(twice, alice_two_keys, 2);
  ASSERT_FALSE(person.ok());
  EXPECT_EQ(person.error().reason, Refusal::TooFewApprovers) << person.error().line;
  EXPECT_EQ(prove(twice, alice_two_keys, 1).value().size(), 1u);

  // One key the file lists for two people.
  const auto shared = signers_of(world_.allowed_signers({{"alice,bob", "alice"}}));
  const std::string one_key = world_.token({{"alice", "alice"}, {"alice", "bob"}});
  auto key = prove(one_key, shared, 2);
  ASSERT_FALSE(key.ok());
  EXPECT_EQ(key.error().reason, Refusal::TooFewApprovers) << key.error().line;
}

TEST_F(TokenWithVotes, RefusesAlteredGarbledAndOversizedTokens) {
  const std::string token = world_.token({{"alice", "alice"}, {"bob", "bob"}});
  const std::string claims_text = write_claims_with_votes(read(token).value());
  auto sealed = [&](std::string_view text) {
    return seal_envelope(kTokenWithVotesPrefix, text, world_.service_key());
  };
  // A vote taken out by someone without the service's key.
  auto fewer = read(token).value();
  fewer.votes.pop_back();
  fewer.claims.approvers.pop_back();
  const std::string unsigned_removal =
      "koa2." + base64url::encode(write_claims_with_votes(fewer)) + token.substr(token.rfind('.'));

  std::string ten_thousand = claims_text.substr(0, claims_text.find("\"votes\":[") + 9);
  for (int i = 0; i < 10'000; ++i)
    ten_thousand +=
        std::string(i ? "," : "") + R"({"keyFingerprint":"","message":"","signature":""})";
  ten_thousand += "]}";
  auto huge = read(token).value();
  huge.request.detail.assign(1'000'000, 'x');
  std::string mismatched = claims_text;
  const std::string top_host = "\"targetHost\":\"web-03\",\"uid\"";
  ASSERT_NE(mismatched.find(top_host), std::string::npos);
  mismatched.replace(mismatched.find(top_host), top_host.size(),
                     "\"targetHost\":\"web-04\",\"uid\"");

  const struct {
    std::string name;
    std::string token;
    Refusal reason;
    std::string line_start;
  } cases[] = {
      {"a vote removed", unsigned_removal, Refusal::BadSignature, "bad signature"},
      {"truncated", token.substr(0, token.size() / 2), Refusal::Malformed, "malformed: "},
      {"no signature", token.substr(0, token.rfind('.')), Refusal::Malformed,
       "malformed: no signature part"},
      {"garbled", "koa2.%%%.AAAA", Refusal::Malformed, "malformed: claims: "},
      {"not JSON", sealed("{\"votes\":"), Refusal::Malformed, "malformed: the claims do not read"},
      {"10,000 votes", sealed(ten_thousand), Refusal::Malformed,
       "malformed: \"votes\" holds 10000 votes; at most 1000"},
      {"a 1 MB member", sealed(write_claims_with_votes(huge)), Refusal::Malformed,
       "malformed: the request is larger than 524288 bytes"},
      {"longer than any token", "koa2." + std::string(3 << 20, 'A') + ".x", Refusal::Malformed,
       "malformed: longer than any token"},
      {"claims that are not the request's", sealed(mismatched), Refusal::Malformed,
       "malformed: the claims' \"targetHost\" is not the request's"},
      {"white space", sealed(claims_text + " "), Refusal::Malformed, "malformed: "},
  };
  for (const auto& c : cases) {
    auto refused = read(c.token);
    ASSERT_FALSE(refused.ok()) << c.name;
    EXPECT_EQ(refused.error().reason, c.reason) << c.name << ": " << refused.error().line;
    EXPECT_TRUE(refused.error().line.starts_with(c.line_start))
        << c.name << ": " << refused.error().line;
  }
}

TEST_F(TokenWithVotes, IssuesNoTokenAVerifierWouldRefuse) {
  const sshsig::RecordedRequest request = VoteWorld::request();
  const RecordedVote alice = world_.vote("alice", "alice", request);
  const std::string deny_bytes = VoteWorld::message(request, "alice", false);
  const struct {
    std::string name;
    std::vector<RecordedVote> votes;
    std::vector<std::string> approvers;
    std::string error_start;
  } cases[] = {
      {"a vote of another request",
       {world_.vote("alice", "alice", VoteWorld::request("18"))},
       {"alice"},
       "vote 1: other request"},
      {"a denial",
       {{deny_bytes, world_.sign("alice", deny_bytes)}},
       {"alice"},
       "vote 1: bad vote: it denies"},
      {"a signature that does not read",
       {{alice.message, "not base64!"}},
       {"alice"},
       "vote 1: the signature is neither armored nor base64"},
      {"approvers that are not the voters", {alice}, {"bob"}, "vote 1 is not by approver 1"},
      {"no votes", {}, {}, "\"votes\" is empty"},
  };
  for (const auto& c : cases) {
    auto issued = issue_token_with_votes(world_.claims(request, c.approvers), request, c.votes,
                                         world_.service_key());
    ASSERT_FALSE(issued.ok()) << c.name;
    EXPECT_NE(issued.error().find(c.error_start), std::string::npos)
        << c.name << ": " << issued.error();
  }
  // The signature as the record keeps it, armored or as base64 alone.
  auto blob = sshsig::dearmor(alice.signature);
  ASSERT_TRUE(blob.ok());
  const RecordedVote as_base64{alice.message, sshsig::base64::encode(blob.value())};
  auto a = issue_token_with_votes(world_.claims(request, {"alice"}), request,
                                  std::vector<RecordedVote>{alice}, world_.service_key());
  auto b = issue_token_with_votes(world_.claims(request, {"alice"}), request,
                                  std::vector<RecordedVote>{as_base64}, world_.service_key());
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a.value(), b.value());
}

}  // namespace
}  // namespace kelvane::token
