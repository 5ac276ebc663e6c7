// Signed votes through the real daemon: operators' keys made by ssh-keygen,
// votes signed by `ssh-keygen -Y sign` and by the operators' command through
// a real ssh-agent; what the daemon counts, what it refuses, and what its
// record keeps (checked again with `ssh-keygen -Y verify`).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <thread>

#include "harness.h"
#include "service/signed_vote.h"
#include "sshsig/test_keys.h"
#include "sshsig/vote_message.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;
using testing::read_file;
using testing::write_file;

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

class SignedVotes : public ::testing::Test {
 protected:
  void SetUp() override {
    alice_ = account("daemon");
    bob_ = account("bin");
    carol_ = account("sys");
    if (!alice_ || !bob_ || !carol_) GTEST_SKIP() << "needs the accounts daemon, bin and sys";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
    if (shell("command -v ssh-keygen >/dev/null && command -v ssh-agent >/dev/null") != 0)
      GTEST_SKIP() << "ssh-keygen and ssh-agent are needed (openssh-client)";
    ::chmod(dir_.path().c_str(), 0755);
    alice_key_ = make_key("alice", "ed25519");
    bob_key_ = make_key("bob", "ecdsa");
    stranger_key_ = make_key("stranger", "ed25519");
  }

  std::string make_key(const std::string& name, const std::string& type) {
    const std::string path = dir_.file(name);
    EXPECT_EQ(shell("ssh-keygen -q -t " + type + (type == "ecdsa" ? " -b 256" : "") + " -N '' -C " +
                    name + " -f " + path),
              0);
    return path;
  }
  std::string public_text(const std::string& key) { return trimmed(read_file(key + ".pub")); }
  std::string fingerprint_of(const std::string& key) {
    EXPECT_EQ(shell("ssh-keygen -l -f " + key + ".pub | cut -d' ' -f2 > " + dir_.file("fp")), 0);
    return trimmed(read_file(dir_.file("fp")));
  }
  std::string keys_path() { return dir_.file("operator_keys"); }
  // alice (daemon) and bob (bin) with their own keys.
  std::string both_keys() {
    return "daemon " + public_text(alice_key_) + "\nbin " + public_text(bob_key_) + "\n";
  }
  std::string config(std::uint64_t approvals, bool required) {
    return "approvers = [\"daemon\", \"bin\"]\napprovals = " + std::to_string(approvals) +
           "\noperator_keys = \"" + keys_path() +
           "\"\nrequire_signed_votes = " + (required ? "true" : "false") + "\n";
  }

  FileDescriptor ask(const DaemonProcess& daemon, const std::string& title) {
    FileDescriptor fd = connect_as(daemon.request_socket(), carol_);
    EXPECT_TRUE(send_all(fd.get(), request_line(title)));
    return fd;
  }
  // The request as `link` is shown it, with the service's host.
  service::OperatorAnswer shown(OperatorLink& link, const std::string& id) {
    service::OperatorAnswer answer = link.ask(op(OperatorOp::Show, id));
    EXPECT_TRUE(answer.ok && answer.request && answer.service_host) << answer.error;
    return answer;
  }
  // The vote message for `id` as the daemon shows it, signed by `key` with
  // ssh-keygen; `vote` as sent.
  service::OperatorRequest signed_vote(OperatorLink& link, const std::string& id,
                                       const std::string& user, const std::string& key,
                                       bool approve, std::optional<std::string> reason,
                                       std::int64_t at = std::time(nullptr)) {
    const service::OperatorAnswer answer = shown(link, id);
    auto message =
        service::vote_message_for(*answer.request, *answer.service_host, approve, reason, user, at);
    EXPECT_TRUE(message.ok());
    write_file(dir_.file("message"), sshsig::write_vote_message(message.value()).value());
    ::unlink(dir_.file("message.sig").c_str());
    EXPECT_EQ(shell("ssh-keygen -q -Y sign -f " + key + " -n kelvane-operator-approval " +
                    dir_.file("message")),
              0);
    service::OperatorRequest request = vote(id, approve, std::move(reason));
    request.signature = read_file(dir_.file("message.sig"));
    request.signed_at = at;
    return request;
  }

  testing::TempDir dir_;
  std::optional<Account> alice_, bob_, carol_;
  std::string alice_key_, bob_key_, stranger_key_;
};

// A vote signed by ssh-keygen over the message is counted, and the record
// keeps its signature and key, which ssh-keygen -Y verify takes against the
// same allowed-signers file.
TEST_F(SignedVotes, AKeygenSignatureCountsAndTheRecordVerifiesWithKeygen) {
  write_file(keys_path(), both_keys());
  DaemonProcess daemon(config(1, true));
  ASSERT_TRUE(daemon.start());
  OperatorLink alice(daemon, alice_);
  ASSERT_TRUE(alice.ask(op(OperatorOp::Watch)).ok);
  const FileDescriptor requester = ask(daemon, "restart the database");
  const std::string id = next_pending(alice);
  ASSERT_FALSE(id.empty());
  const service::OperatorAnswer before = shown(alice, id);

  const service::OperatorAnswer voted =
      alice.ask(signed_vote(alice, id, "daemon", alice_key_, true, "routine"));
  ASSERT_TRUE(voted.ok) << voted.error;
  EXPECT_EQ(voted.state, "approved");

  const service::OperatorAnswer after = OperatorLink(daemon, bob_).ask(op(OperatorOp::Show, id));
  ASSERT_TRUE(after.ok && after.request) << after.error;
  ASSERT_EQ(after.request->votes.size(), 1u);
  const service::VoteRecord& kept = after.request->votes[0];
  ASSERT_TRUE(kept.signature && kept.signed_at);
  EXPECT_EQ(kept.key_fingerprint, fingerprint_of(alice_key_));

  // The message rebuilt from the request as shown before the vote (the
  // verdict changes its state, which the digest does not cover).
  auto message = service::vote_message_for(*before.request, *before.service_host, true, kept.reason,
                                           "daemon", *kept.signed_at);
  ASSERT_TRUE(message.ok());
  write_file(dir_.file("kept.msg"), sshsig::write_vote_message(message.value()).value());
  write_file(dir_.file("kept.sig"), *kept.signature);
  EXPECT_EQ(shell("ssh-keygen -Y verify -n kelvane-operator-approval -f " + keys_path() +
                  " -I daemon -s " + dir_.file("kept.sig") + " < " + dir_.file("kept.msg") +
                  " >/dev/null 2>&1"),
            0);
  // The same record's row in the file holds it too.
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT key_fingerprint FROM votes"),
            fingerprint_of(alice_key_));
}

// Every vote that is not its operator's signed vote for exactly this request
// is refused with a message, and counts for nothing.
TEST_F(SignedVotes, VotesNotSignedForThisRequestByTheirOperatorAreRefused) {
  write_file(keys_path(), both_keys());
  DaemonProcess daemon(config(1, true));
  ASSERT_TRUE(daemon.start());
  OperatorLink alice(daemon, alice_);
  ASSERT_TRUE(alice.ask(op(OperatorOp::Watch)).ok);
  const FileDescriptor first = ask(daemon, "first");
  const std::string id = next_pending(alice);
  const FileDescriptor second = ask(daemon, "second");
  const std::string other = next_pending(alice);
  ASSERT_FALSE(id.empty() || other.empty());

  using Make = std::function<service::OperatorRequest()>;
  const std::time_t now = std::time(nullptr);
  const struct {
    const char* what;
    Make make;
    const char* says;
  } cases[] = {
      {"unsigned", [&] { return vote(id, true); }, "this service requires signed votes"},
      {"signed for another request",
       [&] {
         service::OperatorRequest replayed =
             signed_vote(alice, other, "daemon", alice_key_, true, std::nullopt);
         replayed.id = id;
         return replayed;
       },
       "signature is not taken"},
      {"reason altered",
       [&] {
         service::OperatorRequest altered =
             signed_vote(alice, id, "daemon", alice_key_, false, "no");
         altered.reason = "no, and more";
         return altered;
       },
       "signature is not taken"},
      {"vote turned around",
       [&] {
         service::OperatorRequest turned =
             signed_vote(alice, id, "daemon", alice_key_, false, std::nullopt);
         turned.approve = true;
         return turned;
       },
       "signature is not taken"},
      {"another operator's key",
       [&] { return signed_vote(alice, id, "daemon", bob_key_, true, std::nullopt); },
       "may not sign for daemon"},
      {"a key nobody listed",
       [&] { return signed_vote(alice, id, "daemon", stranger_key_, true, std::nullopt); },
       "may not sign for daemon"},
      {"signed an hour ago",
       [&] { return signed_vote(alice, id, "daemon", alice_key_, true, std::nullopt, now - 3600); },
       "more than 5 minutes"},
      {"not a signature",
       [&] {
         service::OperatorRequest broken = vote(id, true);
         broken.signature = "AAAA";
         broken.signed_at = now;
         return broken;
       },
       "signature is not taken"},
  };
  for (const auto& c : cases) {
    const service::OperatorAnswer refused = alice.ask(c.make());
    EXPECT_FALSE(refused.ok) << c.what;
    EXPECT_NE(refused.error.find(c.says), std::string::npos) << c.what << ": " << refused.error;
  }
  const service::OperatorAnswer still = shown(alice, id);
  EXPECT_EQ(still.request->state, "pending");
  EXPECT_TRUE(still.request->votes.empty());
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT count(*) FROM votes"), "0");
}

// An approval whose approving votes are all signed gets a koa2 token, which
// `verify --operators` takes against the administrator's allowed-signers
// file (two people for --min-approvers 2) and refuses against a file that
// does not list one of the signers; one unsigned approving vote makes the
// token koa1.
TEST_F(SignedVotes, AnApprovalOfSignedVotesGetsATokenCarryingThem) {
  write_file(keys_path(), both_keys());
  const std::string alice_only = dir_.file("alice_only");
  write_file(alice_only, "daemon " + public_text(alice_key_) + "\n");
  DaemonProcess daemon(config(2, false));
  ASSERT_TRUE(daemon.start());
  OperatorLink alice(daemon, alice_);
  OperatorLink bob(daemon, bob_);
  ASSERT_TRUE(alice.ask(op(OperatorOp::Watch)).ok);
  const auto verify = [&](const std::string& token, const std::string& operators) {
    return Process(
               {"/bin/sh", "-c",
                "printf '%s\\n' \"$1\" | \"$2\" verify - --public-key \"$3\" --operators \"$4\" "
                "--min-approvers 2",
                "sh", token, KOA_APPROVALS_PATH, daemon.state_dir() + "-public/public-keys.json",
                operators},
               {"PATH=/usr/bin:/bin"})
        .wait();
  };
  const struct {
    const char* what;
    bool bob_signs;
    const char* prefix;
  } cases[] = {{"both signed", true, "koa2."}, {"one unsigned", false, "koa1."}};
  for (const auto& c : cases) {
    Process client = run_client(daemon, carol_, c.what);
    const std::string id = next_pending(alice);
    ASSERT_FALSE(id.empty()) << c.what;
    const service::OperatorAnswer first =
        alice.ask(signed_vote(alice, id, "daemon", alice_key_, true, "checked"));
    ASSERT_TRUE(first.ok) << first.error;
    const service::OperatorAnswer second = bob.ask(
        c.bob_signs ? signed_vote(bob, id, "bin", bob_key_, true, std::nullopt) : vote(id, true));
    ASSERT_TRUE(second.ok) << second.error;
    EXPECT_EQ(second.state, "approved") << c.what;
    const Finished done = client.wait();
    ASSERT_EQ(done.status, 0) << c.what << ": " << done.err;
    const std::string token = trimmed(done.out);
    ASSERT_TRUE(token.starts_with(c.prefix)) << c.what << ": " << token.substr(0, 16);
    if (!c.bob_signs) continue;
    const Finished accepted = verify(token, keys_path());
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_NE(accepted.out.find("\"requestId\":\"" + id + "\""), std::string::npos) << accepted.out;
    const Finished refused = verify(token, alice_only);
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.err.find("unknown signer"), std::string::npos) << refused.err;
  }
}

// One key listed for two people votes once: the second vote with it is
// refused, and two approvals are not reached.
TEST_F(SignedVotes, OneKeyListedForTwoPeopleMakesOneApproval) {
  write_file(keys_path(), "daemon,bin " + public_text(alice_key_) + "\n");
  DaemonProcess daemon(config(2, true));
  ASSERT_TRUE(daemon.start());
  OperatorLink alice(daemon, alice_);
  ASSERT_TRUE(alice.ask(op(OperatorOp::Watch)).ok);
  const FileDescriptor requester = ask(daemon, "two needed");
  const std::string id = next_pending(alice);
  ASSERT_FALSE(id.empty());
  const auto first = alice.ask(signed_vote(alice, id, "daemon", alice_key_, true, std::nullopt));
  ASSERT_TRUE(first.ok) << first.error;
  EXPECT_EQ(first.state, "pending");
  OperatorLink bob(daemon, bob_);
  const auto second = bob.ask(signed_vote(bob, id, "bin", alice_key_, true, std::nullopt));
  EXPECT_FALSE(second.ok);
  EXPECT_NE(second.error.find("one key, one vote"), std::string::npos) << second.error;
  EXPECT_EQ(shown(bob, id).request->state, "pending");
}

// A key taken out of the file verifies nothing after the reload; unsigned
// votes count while they are not required.
TEST_F(SignedVotes, AKeyRemovedFromTheFileNoLongerVotesAfterReload) {
  write_file(keys_path(), both_keys());
  DaemonProcess daemon(config(2, false));
  ASSERT_TRUE(daemon.start());
  OperatorLink alice(daemon, alice_);
  ASSERT_TRUE(alice.ask(op(OperatorOp::Watch)).ok);
  const FileDescriptor requester = ask(daemon, "after a reload");
  const std::string id = next_pending(alice);
  ASSERT_FALSE(id.empty());

  write_file(keys_path(), "bin " + public_text(bob_key_) + "\n");
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.log_shows("configuration reloaded"));
  const auto removed = alice.ask(signed_vote(alice, id, "daemon", alice_key_, true, std::nullopt));
  EXPECT_FALSE(removed.ok);
  EXPECT_NE(removed.error.find("may not sign for daemon"), std::string::npos) << removed.error;

  const auto unsigned_vote = alice.ask(vote(id, true));
  ASSERT_TRUE(unsigned_vote.ok) << unsigned_vote.error;
  OperatorLink bob(daemon, bob_);
  const auto signed_by_bob = bob.ask(signed_vote(bob, id, "bin", bob_key_, true, std::nullopt));
  ASSERT_TRUE(signed_by_bob.ok) << signed_by_bob.error;
  EXPECT_EQ(signed_by_bob.state, "approved");
}

// require_touch: only a security key's signature with the user-presence
// flag counts (signatures built by the format's rules: no authenticator
// here).
TEST_F(SignedVotes, RequireTouchTakesOnlyATouchedSecurityKey) {
  using sshsig::KeyType;
  using sshsig::testing::TestKey;
  const TestKey security(KeyType::SkEd25519, 3);
  const TestKey security_ecdsa(KeyType::SkEcdsaP256, 4);
  const TestKey plain(KeyType::Ed25519, 5);
  write_file(keys_path(), "daemon " + sshsig::key_text(security.public_key()) + "\ndaemon " +
                              sshsig::key_text(plain.public_key()) + "\nbin " +
                              sshsig::key_text(security_ecdsa.public_key()) + "\n");
  DaemonProcess daemon(config(2, true) + "require_touch = true\n");
  ASSERT_TRUE(daemon.start());
  OperatorLink alice(daemon, alice_);
  ASSERT_TRUE(alice.ask(op(OperatorOp::Watch)).ok);
  const FileDescriptor requester = ask(daemon, "touch needed");
  const std::string id = next_pending(alice);
  ASSERT_FALSE(id.empty());
  const service::OperatorAnswer answer = shown(alice, id);
  const auto signed_by = [&](const std::string& user, const TestKey& key, std::uint8_t flags) {
    const std::int64_t now = std::time(nullptr);
    auto message =
        service::vote_message_for(*answer.request, *answer.service_host, true, {}, user, now);
    service::OperatorRequest request = vote(id, true);
    request.signature = sshsig::armor(key.sign_detached(
        sshsig::kVoteNamespace, sshsig::write_vote_message(message.value()).value(),
        sshsig::HashAlgorithm::Sha512, flags));
    request.signed_at = now;
    return request;
  };
  const struct {
    const char* what;
    const TestKey& key;
    std::uint8_t flags;
    const char* says;
  } refused[] = {
      {"a plain key", plain, 0, "where a security key is required"},
      {"a security key untouched", security, 0, "without a touch"},
      {"a security key verified but not present", security, sshsig::kUserVerified,
       "without a touch"},
  };
  for (const auto& c : refused) {
    const service::OperatorAnswer a = alice.ask(signed_by("daemon", c.key, c.flags));
    EXPECT_FALSE(a.ok) << c.what;
    EXPECT_NE(a.error.find(c.says), std::string::npos) << c.what << ": " << a.error;
  }
  const auto touched = alice.ask(signed_by("daemon", security, sshsig::kUserPresent));
  ASSERT_TRUE(touched.ok) << touched.error;
  EXPECT_EQ(touched.state, "pending");
  OperatorLink bob(daemon, bob_);
  const auto second = bob.ask(signed_by("bin", security_ecdsa, sshsig::kUserPresent));
  ASSERT_TRUE(second.ok) << second.error;
  EXPECT_EQ(second.state, "approved");
}

// A file anyone but root may change names no keys: the daemon does not
// start on one.
TEST_F(SignedVotes, AKeysFileOthersMayWriteStopsTheStart) {
  write_file(keys_path(), both_keys());
  ::chmod(keys_path().c_str(), 0666);
  DaemonProcess daemon(config(1, true));
  EXPECT_FALSE(daemon.start());
  EXPECT_TRUE(daemon.log_shows("must be writable by root only"));
}

// The operators' command signs through the operator's own ssh-agent with
// the key --key names, and the daemon counts the vote.
TEST_F(SignedVotes, TheCommandSignsThroughTheAgent) {
  write_file(keys_path(), both_keys());
  DaemonProcess daemon(config(1, true));
  ASSERT_TRUE(daemon.start());
  // The agent and its key belong to the operator: the agent answers only
  // its own user.
  const std::string home = dir_.file("alice-home");
  ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
  ASSERT_EQ(shell("cp " + alice_key_ + " " + home + "/key && chown -R " +
                  std::to_string(alice_->uid) + ":" + std::to_string(alice_->gid) + " " + home),
            0);
  const std::string socket = home + "/agent.sock";
  Process agent({"/usr/bin/ssh-agent", "-D", "-a", socket}, {"PATH=/usr/bin:/bin"}, alice_);
  for (int i = 0; i < 100 && ::access(socket.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(50ms);
  const Finished added =
      Process({"/usr/bin/ssh-add", "-q", home + "/key"}, {"SSH_AUTH_SOCK=" + socket}, alice_)
          .wait();
  ASSERT_EQ(added.status, 0) << added.err;

  OperatorLink watch(daemon, bob_);
  ASSERT_TRUE(watch.ask(op(OperatorOp::Watch)).ok);
  const FileDescriptor requester = ask(daemon, "through the agent");
  const std::string id = next_pending(watch);
  ASSERT_FALSE(id.empty());
  const Finished approved =
      Process({KOA_APPROVALS_PATH, "--socket", daemon.operator_socket(), "approve", id, "--key",
               fingerprint_of(alice_key_), "--reason", "checked"},
              {"PATH=/usr/bin:/bin", "SSH_AUTH_SOCK=" + socket}, alice_)
          .wait();
  EXPECT_EQ(approved.status, 0) << approved.err;
  EXPECT_EQ(approved.out, "request " + id + ": approved\n");
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT key_fingerprint FROM votes"),
            fingerprint_of(alice_key_));

  // Without --key, a service that requires signatures says how to sign.
  const FileDescriptor again = ask(daemon, "unsigned");
  const std::string next = next_pending(watch);
  const Finished unsigned_vote =
      Process({KOA_APPROVALS_PATH, "--socket", daemon.operator_socket(), "approve", next},
              {"PATH=/usr/bin:/bin"}, alice_)
          .wait();
  EXPECT_EQ(unsigned_vote.status, 1);
  EXPECT_NE(unsigned_vote.err.find("--key"), std::string::npos) << unsigned_vote.err;
}

}  // namespace
}  // namespace kelvane::approvald_test
