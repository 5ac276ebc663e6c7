// verify --operators FILE --min-approvers N: a koa2 token's votes checked
// against the administrator's allowed-signers file, signatures made by
// ssh-keygen; every refusal's status and line, and the command lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

#include "operators/options.h"
#include "operators/token_commands.h"
#include "sshsig/detached_signature.h"
#include "testing/service.h"
#include "token/published.h"
#include "token/token.h"
#include "token/token_with_votes.h"
#include "token/vote_world.h"

namespace kelvane::operators {
namespace {

using kelvane::testing::write_file;
using token::testing::VoteWorld;

constexpr std::uint64_t kNow = token::testing::kApprovedAt + 60;
constexpr std::string_view kPrefix = "kelvane-operator-approvals: ";

TEST(VerifyVoteOptions, AcceptedAndRefusedCommandLines) {
  std::vector<std::string_view> args = {"verify",          "-", "--operators", "/etc/k",
                                        "--min-approvers", "2"};
  auto parsed = parse_invocation(args);
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  EXPECT_EQ(parsed.value().operators, "/etc/k");
  EXPECT_EQ(parsed.value().min_approvers, 2u);

  const struct {
    std::vector<std::string_view> args;
    std::string message;
  } refused[] = {
      {{"verify", "t", "--min-approvers", "2"}, "--min-approvers needs --operators FILE"},
      {{"verify", "t", "--operators", "f", "--min-approvers", "0"},
       "--min-approvers needs a whole number from 1 to 1000, not 0"},
      {{"verify", "t", "--operators", "f", "--min-approvers", "1001"}, "not 1001"},
      {{"verify", "t", "--operators", "f", "--min-approvers=1", "--min-approvers=2"},
       "--min-approvers is given twice"},
      {{"verify", "t", "--operators="}, "--operators needs the path of an allowed-signers file"},
      {{"verify", "t", "--operators", "a", "--operators", "b"}, "--operators is given twice"},
      {{"public-key", "--operators", "f"}, "unexpected argument: --operators"},
  };
  for (const auto& c : refused) {
    auto result = parse_invocation(c.args);
    ASSERT_FALSE(result.ok()) << c.message;
    EXPECT_NE(result.error().message.find(c.message), std::string::npos) << result.error().message;
  }
}

struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

class VerifyVotes : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!world_.ready()) GTEST_SKIP() << "ssh-keygen is needed (openssh-client)";
    ASSERT_EQ(::mkdir(public_dir().c_str(), 0755), 0);
    write_file(public_dir() + "/public-keys.json", token::write_public_keys({world_.published()}));
    write_file(public_dir() + "/revoked.json", token::write_revocations({}));
    write_file(operators_path(), world_.allowed_signers({{"alice", "alice"}, {"bob", "bob"}}));
    token_ = world_.token({{"alice", "alice"}, {"bob", "bob"}});
  }

  std::string public_dir() const { return dir_.file("public"); }
  std::string operators_path() const { return dir_.file("operators"); }

  Ran verify(const std::string& token, std::vector<std::string_view> more) {
    const std::string keys = public_dir() + "/public-keys.json";
    std::vector<std::string_view> args = {"verify", "-", "--public-key", keys};
    args.insert(args.end(), more.begin(), more.end());
    auto parsed = parse_invocation(args);
    EXPECT_TRUE(parsed.ok()) << parsed.error().message;
    int in[2], out[2], err[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
    // Tokens may be larger than a pipe holds: written from another thread.
    std::thread writer([&] {
      (void)!::write(in[1], token.data(), token.size());
      ::close(in[1]);
    });
    std::string out_text;
    std::thread reader([&] { out_text = drain(out[0]); });
    Ran ran;
    ran.status = verify_command(parsed.value(), Streams{in[0], out[1], err[1]}, kNow);
    ::close(out[1]);
    ::close(err[1]);
    writer.join();
    reader.join();
    ::close(in[0]);
    ran.out = out_text;
    ran.err = drain(err[0]);
    return ran;
  }

  VoteWorld world_;
  kelvane::testing::TempDir dir_;
  std::string token_;
};

TEST_F(VerifyVotes, StatusesAndLines) {
  const std::string claims_line =
      token::write_claims_with_votes(token::verify_token_with_votes(token_,
                                                                    std::vector{world_.published()},
                                                                    {}, {{}, {}, kNow})
                                         .value()) +
      "\n";
  const std::string ops = operators_path();
  const std::string only_alice = dir_.file("only-alice");
  write_file(only_alice, world_.allowed_signers({{"alice", "alice"}}));
  const std::string writable = dir_.file("writable");
  write_file(writable, world_.allowed_signers({{"alice", "alice"}}));
  ASSERT_EQ(::chmod(writable.c_str(), 0666), 0);
  const std::string published = public_dir() + "/operators";
  const std::string none = dir_.file("none");
  write_file(published, world_.allowed_signers({{"alice", "alice"}, {"bob", "bob"}}));

  const sshsig::RecordedRequest request = VoteWorld::request();
  const token::Claims koa1_claims = world_.claims(request, {"alice"});
  const std::string koa1 = token::sign_token(koa1_claims, world_.service_key());
  // A service that puts a vote of request 18 into request 17's token.
  auto replayed =
      token::verify_token_with_votes(token_, std::vector{world_.published()}, {}, {{}, {}, kNow})
          .value();
  const token::RecordedVote other = world_.vote("alice", "alice", VoteWorld::request("18"));
  replayed.votes[0].message = other.message;
  replayed.votes[0].signature = sshsig::dearmor(other.signature).value();
  const std::string replayed_token = token::sign_token_with_votes(replayed, world_.service_key());

  const struct {
    std::string name;
    std::string token;
    std::vector<std::string_view> more;
    int status;
    std::string err_start;
  } cases[] = {
      {"two approvers proven", token_, {"--operators", ops, "--min-approvers", "2"}, 0, ""},
      {"one by default", token_, {"--operators", ops}, 0, ""},
      {"koa2 without --operators: the service's word", token_, {}, 0, ""},
      {"host and digest as asked",
       token_,
       {"--operators", ops, "--target-host", "web-03", "--digest", "sha256:aa"},
       0,
       ""},
      {"too few",
       token_,
       {"--operators", ops, "--min-approvers", "3"},
       1,
       "too few approvers: 2 distinct people with distinct keys approved; 3 are required"},
      {"unknown signer",
       token_,
       {"--operators", only_alice},
       1,
       "unknown signer: vote 2 (\"bob\"): the key SHA256:"},
      {"replayed vote",
       replayed_token,
       {"--operators", ops},
       1,
       "other request: vote 1: it was signed for request \"18\""},
      {"koa1 where votes are asked for",
       koa1,
       {"--operators", ops},
       1,
       "no signed votes: a koa1. token carries no votes"},
      {"koa1 alone verifies as before", koa1, {}, 0, ""},
      {"other host",
       token_,
       {"--operators", ops, "--target-host", "web-04"},
       1,
       "other host: the token is for \"web-03\""},
      {"a file others may write",
       token_,
       {"--operators", writable},
       1,
       "cannot use --operators: " + writable + " may be written by its group or by others"},
      {"a file the service published",
       token_,
       {"--operators", published},
       1,
       "cannot use --operators " + published + ": it lies among the service's published files"},
      {"no such file",
       token_,
       {"--operators", none},
       1,
       "cannot use --operators: " + none + ": No such file or directory"},
      {"garbled", "koa2.AAAA.AAAA", {"--operators", ops}, 1, "malformed: "},
  };
  for (const auto& c : cases) {
    const Ran ran = verify(c.token, c.more);
    EXPECT_EQ(ran.status, c.status) << c.name << ": " << ran.err;
    if (c.status == 0) {
      EXPECT_EQ(ran.out, c.token == koa1 ? token::write_claims(koa1_claims) + "\n" : claims_line)
          << c.name;
      EXPECT_EQ(ran.err, "") << c.name;
    } else {
      EXPECT_EQ(ran.out, "") << c.name;
      EXPECT_TRUE(ran.err.starts_with(std::string(kPrefix) + c.err_start))
          << c.name << ": " << ran.err;
      EXPECT_EQ(ran.err.find('\n'), ran.err.size() - 1) << c.name;
    }
  }
}

}  // namespace
}  // namespace kelvane::operators
