// The token subcommands: their command lines, verify and public-key on
// published files (no daemon), and rotate-key and revoke against a fake
// daemon.
#include "operators/token_commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "fake_daemon.h"
#include "service/operator_protocol.h"
#include "testing/service.h"
#include "token/key_store.h"
#include "token/token.h"

namespace kelvane::operators {
namespace {

using testing::FakeDaemon;
using testing::Ran;
using testing::run_approvals;

constexpr std::uint64_t kNow = 1'800'000'000;

Result<Invocation, UsageError> parse(std::vector<std::string_view> args) {
  return parse_invocation(args);
}

TEST(TokenOptions, AcceptedAndRefusedCommandLines) {
  auto verify = parse({"verify", "koa1.x.y", "--digest", "d", "--target-host=web", "--public-key",
                       "/p/public-keys.json"});
  ASSERT_TRUE(verify.ok()) << verify.error().message;
  EXPECT_EQ(verify.value().subcommand, Subcommand::Verify);
  EXPECT_EQ(verify.value().token, "koa1.x.y");
  EXPECT_EQ(verify.value().digest, "d");
  EXPECT_EQ(verify.value().target_host, "web");
  EXPECT_EQ(verify.value().public_keys, "/p/public-keys.json");
  auto from_input = parse({"verify", "--target-host", "web", "-"});
  ASSERT_TRUE(from_input.ok());
  EXPECT_EQ(from_input.value().token, "-");
  auto revoke = parse({"revoke", "17"});
  ASSERT_TRUE(revoke.ok());
  EXPECT_EQ(revoke.value().id, "17");
  EXPECT_TRUE(parse({"rotate-key"}).ok());
  EXPECT_TRUE(parse({"public-key", "--public-key=/k.json"}).ok());

  const struct {
    std::vector<std::string_view> args;
    std::string message;
  } refused[] = {
      {{"verify"}, "verify needs a token"},
      {{"verify", "a", "b"}, "unexpected argument: b"},
      {{"verify", "a", "--digest"}, "--digest needs a value"},
      {{"verify", "a", "--digest", "x", "--digest", "y"}, "--digest is given twice"},
      {{"verify", "a", "--public-key="}, "--public-key needs a path"},
      {{"verify", "a", "--target-host", "\xff"}, "--target-host is not valid UTF-8"},
      {{"verify", "a", "--json"}, "unexpected argument: --json"},
      {{"public-key", "--digest", "x"}, "unexpected argument: --digest"},
      {{"revoke"}, "revoke needs a request id"},
      {{"revoke", "x1"}, "a request id is a decimal number"},
      {{"rotate-key", "1"}, "unexpected argument: 1"},
  };
  for (const auto& c : refused) {
    auto parsed = parse(c.args);
    ASSERT_FALSE(parsed.ok()) << c.message;
    EXPECT_NE(parsed.error().message.find(c.message), std::string::npos) << parsed.error().message;
  }
}

// Published files in a directory of their own, and a token signed with
// their current key.
class Verify : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_ = {dir_.file("keys"), dir_.file("public")};
    auto opened = token::open_keys(paths_, 600, kNow);
    ASSERT_TRUE(opened.ok()) << opened.error();
    keys_ = std::make_unique<token::KeyState>(std::move(opened).value());
    token::Claims c;
    c.request_id = "17";
    c.operation_digest = "sha256:aa";
    c.target_host = "web-03";
    c.user = "alice";
    c.uid = 1000;
    c.action = "reboot";
    c.approvers = {"bob"};
    c.iat = kNow;
    c.exp = kNow + 600;
    c.kid = keys_->current.kid();
    claims_ = c;
    token_ = token::sign_token(c, keys_->current);
  }

  // verify with `args` after the token, standard input `input`.
  Ran verify(const std::string& token, std::vector<std::string_view> more,
             const std::string& input = {}, std::uint64_t now = kNow + 1) {
    std::vector<std::string_view> args = {"verify", token};
    const std::string path = paths_.public_dir + "/public-keys.json";
    args.insert(args.end(), more.begin(), more.end());
    args.push_back("--public-key");
    args.push_back(path);
    auto parsed = parse(args);
    EXPECT_TRUE(parsed.ok());
    int in[2], out[2], err[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
    EXPECT_EQ(::write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(in[1]);
    Ran ran;
    ran.status = verify_command(parsed.value(), Streams{in[0], out[1], err[1]}, now);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ran.out = drain(out[0]);
    ran.err = drain(err[0]);
    return ran;
  }

  static std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
  }

  kelvane::testing::TempDir dir_;
  token::KeyPaths paths_;
  std::unique_ptr<token::KeyState> keys_;
  token::Claims claims_;
  std::string token_;
};

TEST_F(Verify, StatusesAndLines) {
  const std::string claims_line = token::write_claims(claims_) + "\n";
  const struct {
    std::string name;
    std::string token;
    std::vector<std::string_view> more;
    std::string input;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {"genuine", token_, {}, "", 0, claims_line, ""},
      {"host and digest as asked",
       token_,
       {"--target-host", "web-03", "--digest", "sha256:aa"},
       "",
       0,
       claims_line,
       ""},
      {"from standard input, one line feed trimmed", "-", {}, token_ + "\n", 0, claims_line, ""},
      {"from standard input without a line feed", "-", {}, token_, 0, claims_line, ""},
      {"two line feeds",
       "-",
       {},
       token_ + "\n\n",
       1,
       "",
       "kelvane-operator-approvals: malformed: signature: a byte outside the base64url alphabet "
       "at offset 86\n"},
      {"other host",
       token_,
       {"--target-host", "web-04"},
       "",
       1,
       "",
       "kelvane-operator-approvals: other host: the token is for \"web-03\"\n"},
      {"other digest",
       token_,
       {"--digest", "sha256:ab"},
       "",
       1,
       "",
       "kelvane-operator-approvals: other digest: the token is for \"sha256:aa\"\n"},
      {"malformed",
       "koa1.",
       {},
       "",
       1,
       "",
       "kelvane-operator-approvals: malformed: no signature part\n"},
  };
  for (const auto& c : cases) {
    const Ran ran = verify(c.token, c.more, c.input);
    EXPECT_EQ(ran.status, c.status) << c.name;
    EXPECT_EQ(ran.out, c.out) << c.name;
    EXPECT_EQ(ran.err, c.err) << c.name;
  }
  const Ran expired = verify(token_, {}, "", kNow + 600);
  EXPECT_EQ(expired.status, 1);
  EXPECT_EQ(expired.err, "kelvane-operator-approvals: expired at 2027-01-15T08:10:00Z\n");
}

TEST_F(Verify, ReadsTheRevocationListBesideTheKeys) {
  ASSERT_TRUE(token::add_revocation(*keys_, {"17", kNow + 600}, kNow));
  ASSERT_TRUE(token::save_revocations(paths_, token::write_revocations(keys_->revoked)).ok());
  const Ran ran = verify(token_, {});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.err, "kelvane-operator-approvals: revoked: request 17\n");
}

TEST_F(Verify, MissingFilesRefuseWithTheirPath) {
  ::unlink((paths_.public_dir + "/revoked.json").c_str());
  const Ran ran = verify(token_, {});
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.err.find("cannot read the published keys: " + paths_.public_dir + "/revoked.json"),
            std::string::npos)
      << ran.err;
}

TEST_F(Verify, TheCommandAsAProcess) {
  const std::string path = paths_.public_dir + "/public-keys.json";
  // Real time: the token above was made for 2027; this one for now.
  token::Claims c = claims_;
  c.iat = static_cast<std::uint64_t>(std::time(nullptr));
  c.exp = c.iat + 600;
  const std::string now_token = token::sign_token(c, keys_->current);
  Ran ran = run_approvals({"verify", now_token, "--public-key", path}, std::nullopt);
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(ran.out, token::write_claims(c) + "\n");
  ran = run_approvals({"public-key", "--public-key", path}, std::nullopt);
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(ran.out, kelvane::testing::read_file(path));
  ran = run_approvals({"verify"}, std::nullopt);
  EXPECT_EQ(ran.status, 2);
}

TEST(TokenSubcommands, RotateKeyAndRevokeAgainstAFakeDaemon) {
  service::OperatorAnswer rotated;
  rotated.kid = "0123456789abcdef";
  service::OperatorAnswer revoked;
  revoked.state = "revoked";
  service::OperatorAnswer expired;
  expired.state = "expired";
  const struct {
    std::vector<std::string> args;
    std::string reply;
    std::string sent;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{"rotate-key"},
       service::encode_answer(rotated),
       R"({"op":"rotate-key"})",
       0,
       "signing key rotated: tokens are now signed with key 0123456789abcdef\n",
       ""},
      {{"rotate-key"},
       service::encode_answer(service::refused_answer(1, "only root may rotate the signing key")),
       R"({"op":"rotate-key"})",
       1,
       "",
       "kelvane-operator-approvals: only root may rotate the signing key\n"},
      {{"revoke", "17"},
       service::encode_answer(revoked),
       R"({"id":"17","op":"revoke"})",
       0,
       "request 17: token revoked\n",
       ""},
      {{"revoke", "17"},
       service::encode_answer(expired),
       R"({"id":"17","op":"revoke"})",
       0,
       "request 17: its token has expired already\n",
       ""},
  };
  for (const auto& c : cases) {
    FakeDaemon daemon;
    daemon.serve({c.reply});
    const Ran ran = run_approvals(c.args, daemon.path());
    EXPECT_EQ(ran.status, c.status) << ran.err;
    EXPECT_EQ(ran.out, c.out);
    EXPECT_EQ(ran.err, c.err);
    EXPECT_EQ(daemon.received(), std::vector<std::string>{c.sent});
  }
}

}  // namespace
}  // namespace kelvane::operators
