// Approval tokens end to end: the real client approved through the real
// operators' command, its token checked by `verify` as a target host would,
// key rotation and revocation through the daemon, the key kept across a
// restart.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <functional>

#include "harness.h"
#include "testing/service.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;

class Tokens : public ::testing::Test {
 protected:
  void SetUp() override {
    bob_ = account("bin");
    carol_ = account("sys");
    if (!bob_ || !carol_) GTEST_SKIP() << "needs the accounts bin and sys";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
    daemon_ = std::make_unique<DaemonProcess>(
        "approvers = [\"daemon\", \"bin\"]\n"
        "auditors = [\"sys\"]\n");
    ASSERT_TRUE(daemon_->start());
  }

  std::string public_keys() const { return daemon_->state_dir() + "-public/public-keys.json"; }

  // The operators' command as `as` (root when nullopt).
  Finished approvals(std::vector<std::string> args, const std::optional<Account>& as) {
    std::vector<std::string> argv = {KOA_APPROVALS_PATH, "--socket", daemon_->operator_socket()};
    argv.insert(argv.end(), args.begin(), args.end());
    return Process(std::move(argv), {"PATH=/usr/bin:/bin"}, as).wait();
  }

  // verify as a target host runs it: the token piped in, `-` on the line.
  Finished verify(const std::string& token, std::vector<std::string> more = {}) {
    std::string script = "printf '%s\\n' \"$1\" | \"$2\" verify - --public-key \"$3\"";
    for (std::size_t i = 0; i < more.size(); ++i) script += " \"$" + std::to_string(i + 4) + "\"";
    std::vector<std::string> argv = {"/bin/sh",          "-c",         script, "sh", token,
                                     KOA_APPROVALS_PATH, public_keys()};
    argv.insert(argv.end(), more.begin(), more.end());
    return Process(std::move(argv), {"PATH=/usr/bin:/bin"}).wait();
  }

  // A request from the real client as sys, approved by bin with the
  // operators' command; the token the client printed.
  std::string approved_token(std::string& id) {
    OperatorLink watch(*daemon_, bob_);
    EXPECT_TRUE(watch.ask(op(OperatorOp::Watch)).ok);
    Process client = run_client(*daemon_, carol_, "Deploy", {"--operation-digest", "sha256:aa"});
    for (;;) {
      auto event = watch.next_event(10s);
      if (!event) return {};
      if (event->kind == service::OperatorEvent::Kind::Pending) {
        id = event->request->id;
        break;
      }
    }
    const Finished voted = approvals({"approve", id}, bob_);
    EXPECT_EQ(voted.status, 0) << voted.err;
    const Finished done = client.wait();
    EXPECT_EQ(done.status, 0) << done.err;
    std::string token = done.out;
    if (!token.empty() && token.back() == '\n') token.pop_back();
    return token;
  }

  std::unique_ptr<DaemonProcess> daemon_;
  std::optional<Account> bob_, carol_;
};

TEST_F(Tokens, TheClientsTokenVerifiesForItsHostAndDigestOnly) {
  std::string id;
  const std::string token = approved_token(id);
  ASSERT_TRUE(token.starts_with("koa1.")) << token;

  Finished ok = verify(token, {"--target-host", "there", "--digest", "sha256:aa"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  for (const std::string& member :
       {"\"requestId\":\"" + id + "\"", std::string("\"targetHost\":\"there\""),
        std::string("\"user\":\"sys\""), std::string("\"approvers\":[\"bin\"]"),
        std::string("\"action\":\"restart\"")}) {
    EXPECT_NE(ok.out.find(member), std::string::npos) << member << " in " << ok.out;
  }
  const struct {
    std::vector<std::string> more;
    std::string err;
  } refused[] = {
      {{"--target-host", "elsewhere"}, "other host: the token is for \"there\""},
      {{"--digest", "sha256:ab"}, "other digest: the token is for \"sha256:aa\""},
  };
  for (const auto& c : refused) {
    const Finished no = verify(token, c.more);
    EXPECT_EQ(no.status, 1) << c.err;
    EXPECT_EQ(no.out, "");
    EXPECT_EQ(no.err, "kelvane-operator-approvals: " + c.err + "\n");
  }
}

TEST_F(Tokens, RotationIsRootsAndKeepsEarlierTokensGood) {
  std::string first_id;
  const std::string before = approved_token(first_id);
  const Finished not_root = approvals({"rotate-key"}, bob_);
  EXPECT_EQ(not_root.status, 1);
  EXPECT_NE(not_root.err.find("only root may rotate the signing key"), std::string::npos);

  const Finished rotated = approvals({"rotate-key"}, std::nullopt);
  ASSERT_EQ(rotated.status, 0) << rotated.err;
  const Finished keys = approvals({"public-key", "--public-key", public_keys()}, std::nullopt);
  EXPECT_EQ(keys.status, 0) << keys.err;
  EXPECT_NE(keys.out.find("\"retireAt\":"), std::string::npos) << keys.out;

  std::string second_id;
  const std::string after = approved_token(second_id);
  EXPECT_EQ(verify(before).status, 0);
  EXPECT_EQ(verify(after).status, 0);
  const std::string new_kid = rotated.out.substr(rotated.out.rfind(' ') + 1, 16);
  EXPECT_NE(verify(after).out.find("\"kid\":\"" + new_kid + "\""), std::string::npos);

  // The keys outlive a restart: both tokens still verify, nothing new made.
  EXPECT_EQ(daemon_->stop(), 0);
  ASSERT_TRUE(daemon_->start());
  const Finished again = approvals({"public-key", "--public-key", public_keys()}, std::nullopt);
  EXPECT_EQ(again.out, keys.out);
  EXPECT_EQ(verify(before).status, 0);
}

TEST_F(Tokens, RevocationIsAnApproversForApprovedRequestsOnly) {
  std::string id;
  const std::string token = approved_token(id);
  const Finished auditor = approvals({"revoke", id}, carol_);
  EXPECT_EQ(auditor.status, 1);
  EXPECT_NE(auditor.err.find("not an approver"), std::string::npos) << auditor.err;
  EXPECT_EQ(verify(token).status, 0);

  const Finished revoked = approvals({"revoke", id}, bob_);
  EXPECT_EQ(revoked.status, 0) << revoked.err;
  EXPECT_EQ(revoked.out, "request " + id + ": token revoked\n");
  const Finished again = approvals({"revoke", id}, bob_);
  EXPECT_EQ(again.status, 0) << again.err;
  const Finished refused = verify(token);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "kelvane-operator-approvals: revoked: request " + id + "\n");

  // Kept across a restart.
  EXPECT_EQ(daemon_->stop(), 0);
  ASSERT_TRUE(daemon_->start());
  EXPECT_EQ(verify(token).status, 1);

  const Finished unknown = approvals({"revoke", "12345"}, bob_);
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("there is no request 12345"), std::string::npos) << unknown.err;
}

// A key file or revocation list that cannot be written (its file system
// turned read-only under the running daemon): the rotation or revocation is
// refused with the reason, and the daemon goes on as before it, so that
// what it signs and what it publishes never part ways. Once the files can
// be written the same command works.
TEST_F(Tokens, KeyFilesThatCannotBeWrittenLeaveTheKeysAsTheyWere) {
  if (Process({"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
               "mount -t tmpfs koa-probe /mnt && umount /mnt"},
              {"PATH=/usr/bin:/bin"})
          .wait()
          .status != 0)
    GTEST_SKIP() << "cannot mount in a mount namespace here";
  const std::string keys = daemon_->state_dir() + "/keys";
  const std::string published = daemon_->state_dir() + "-public";
  ASSERT_EQ(daemon_->stop(), 0);
  // Its own mount namespace, each key folder a mount of itself there that
  // the test can turn read-only.
  ASSERT_TRUE(
      daemon_->start({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                      "mount --bind \"$0\" \"$0\" && mount --bind \"$1\" \"$1\" && "
                      "shift && exec \"$@\"",
                      keys, published}));
  const auto remount = [&](const std::string& dir, const char* how) {
    return Process({"/usr/bin/nsenter", "--target", std::to_string(daemon_->pid()), "--mount",
                    "/bin/mount", "-o", std::string("remount,bind,") + how, dir},
                   {"PATH=/usr/bin:/bin"})
        .wait()
        .status;
  };
  const auto kid_of = [&](const std::string& token) {
    const std::string out = verify(token).out;
    const std::size_t at = out.find("\"kid\":\"");
    return at == std::string::npos ? std::string() : out.substr(at + 7, 16);
  };
  std::string id;
  const std::string token = approved_token(id);
  const std::string kid = kid_of(token);
  ASSERT_FALSE(kid.empty());

  for (const std::string& dir : {keys, published}) {
    SCOPED_TRACE(dir);
    ASSERT_EQ(remount(dir, "ro"), 0);
    const Finished rotated = approvals({"rotate-key"}, std::nullopt);
    EXPECT_EQ(rotated.status, 1);
    EXPECT_NE(rotated.err.find("the new signing key cannot be written"), std::string::npos)
        << rotated.err;
    std::string next_id;
    EXPECT_EQ(kid_of(approved_token(next_id)), kid);  // still the key on file
    ASSERT_EQ(remount(dir, "rw"), 0);
  }

  ASSERT_EQ(remount(published, "ro"), 0);
  const Finished unpublished = approvals({"revoke", id}, bob_);
  EXPECT_EQ(unpublished.status, 1);
  EXPECT_NE(unpublished.err.find("the revocation list cannot be written"), std::string::npos)
      << unpublished.err;
  EXPECT_EQ(verify(token).status, 0);  // not revoked where verifiers look
  ASSERT_EQ(remount(published, "rw"), 0);
  const Finished revoked = approvals({"revoke", id}, bob_);
  EXPECT_EQ(revoked.status, 0) << revoked.err;
  EXPECT_EQ(verify(token).status, 1);
  const Finished rotated = approvals({"rotate-key"}, std::nullopt);
  EXPECT_EQ(rotated.status, 0) << rotated.err;
}

// A signing key file the daemon cannot use stops its start at once, with a
// message naming it; the file is left for the administrator (it may hold
// the only copy of the key the target hosts trust).
TEST_F(Tokens, ASigningKeyFileItCannotUseStopsTheStart) {
  const std::string key_file = daemon_->state_dir() + "/keys/signing-key.json";
  ASSERT_EQ(daemon_->stop(), 0);
  const struct {
    const char* what;
    std::function<void()> spoil;
    const char* reason;
  } cases[] = {
      {"damaged", [&] { testing::write_file(key_file, "{\"secret\":"); }, "not a JSON object"},
      {"a pipe", [&] { ASSERT_EQ(::mkfifo(key_file.c_str(), 0600), 0); }, "not a regular file"},
      {"another user's",
       [&] {
         testing::write_file(key_file, "{}");
         ASSERT_EQ(::chown(key_file.c_str(), bob_->uid, bob_->gid), 0);
       },
       "owned by another user"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ::unlink(key_file.c_str());
    c.spoil();
    struct stat before {};
    ASSERT_EQ(::lstat(key_file.c_str(), &before), 0);
    EXPECT_FALSE(daemon_->start());
    EXPECT_EQ(daemon_->wait_exit(), 1) << daemon_->log();
    EXPECT_TRUE(daemon_->log_shows(key_file + ": " + c.reason)) << daemon_->log();
    struct stat after {};
    ASSERT_EQ(::lstat(key_file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
    EXPECT_EQ(after.st_size, before.st_size);
  }
}

TEST_F(Tokens, APendingOrDeniedRequestHasNoTokenToRevoke) {
  OperatorLink watch(*daemon_, bob_);
  ASSERT_TRUE(watch.ask(op(OperatorOp::Watch)).ok);
  Process client = run_client(*daemon_, carol_, "Deploy");
  std::string id;
  while (id.empty()) {
    auto event = watch.next_event(10s);
    ASSERT_TRUE(event);
    if (event->kind == service::OperatorEvent::Kind::Pending) id = event->request->id;
  }
  Finished pending = approvals({"revoke", id}, bob_);
  EXPECT_EQ(pending.status, 1);
  EXPECT_NE(pending.err.find("is pending: it has no token to revoke"), std::string::npos);
  EXPECT_EQ(approvals({"deny", id, "--reason", "no"}, bob_).status, 0);
  EXPECT_EQ(client.wait().status, 1);
  Finished denied = approvals({"revoke", id}, bob_);
  EXPECT_EQ(denied.status, 1);
  EXPECT_NE(denied.err.find("is denied: only an approved request has a token to revoke"),
            std::string::npos)
      << denied.err;
}

}  // namespace
}  // namespace kelvane::approvald_test
