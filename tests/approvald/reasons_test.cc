// What an operator writes reaches the requester's terminal through the
// client and the sudo plugin, which print a verdict's detail as it is: the
// daemon refuses a reason that a terminal would act on or not show, and
// escapes any detail that holds such characters as it sends it, whoever
// wrote it (here a policy rule's reason).
#include <gtest/gtest.h>

#include <chrono>

#include "harness.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;

class Reasons : public ::testing::Test {
 protected:
  void SetUp() override {
    bob_ = account("bin");
    carol_ = account("sys");
    if (!bob_ || !carol_) GTEST_SKIP() << "needs the accounts bin and sys";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
  }
  std::optional<Account> bob_, carol_;
};

// No byte a terminal obeys (ESC, BEL, CSI, CR, the C1 controls): the
// client's standard error holds only printable text and its line ends.
void expect_no_terminal_controls(const std::string& out) {
  for (const char c : out) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7F)) << "byte " << +byte << " in\n"
                                                                << out;
  }
  EXPECT_EQ(out.find("\xc2\x9b"), std::string::npos) << out;
  EXPECT_EQ(out.find("\xe2\x80\xae"), std::string::npos) << out;
}

// The reason from the report (a window title and a cleared screen) and its
// kin are refused with a clear message, status 2, and the request stays
// pending; a reason in any script, combining marks included, is taken and
// reaches the requester as it was written.
TEST_F(Reasons, AReasonATerminalWouldActOnIsRefusedAndTheRequestStaysPending) {
  DaemonProcess daemon("approvers = [\"bin\"]\n");
  ASSERT_TRUE(daemon.start());
  OperatorLink bob(daemon, bob_);
  ASSERT_TRUE(bob.ask(op(OperatorOp::Watch)).ok);
  Process client = run_client(daemon, carol_, "Wipe disk");
  const std::string id = next_pending(bob);
  ASSERT_FALSE(id.empty());

  const struct {
    std::string_view what;
    std::string reason;
    std::string_view named;
  } refused[] = {
      {"title and clear screen", "no\x1b]0;owned\x07\x1b[2J", "U+001b at byte 2"},
      {"C1 control sequence introducer",
       "no \xc2\x9b"
       "31m",
       "U+009b at byte 3"},
      {"carriage return", "ok\rAPPROVED", "U+000d at byte 2"},
      {"line feed", "no\nAPPROVED (by root)", "U+000a at byte 2"},
      {"right-to-left override",
       "\xe2\x80\xae"
       "devorppa",
       "U+202e at byte 0"},
      {"zero width space", "n\xe2\x80\x8bo", "U+200b at byte 1"},
      {"Hangul filler", "no\xe3\x85\xa4", "U+3164 at byte 2"},
      {"braille blank", "\xe2\xa0\x80", "U+2800 at byte 0"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.what);
    const auto answer = bob.ask(vote(id, false, r.reason));
    EXPECT_FALSE(answer.ok);
    EXPECT_EQ(answer.status, service::kOperatorBadLine);
    EXPECT_NE(answer.error.find(r.named), std::string::npos) << answer.error;
    EXPECT_NE(answer.error.find("may hold no control, bidirectional or invisible character"),
              std::string::npos)
        << answer.error;
  }
  const auto shown = bob.ask(op(OperatorOp::Show, id));
  ASSERT_TRUE(shown.ok) << shown.error;
  EXPECT_EQ(shown.request->state, "pending");
  EXPECT_TRUE(shown.request->votes.empty());

  const std::string plain =
      "pas maintenant, na\xc3\xaf"
      "ve \xe0\xa4\xa8\xe0\xa4\xb9\xe0\xa5\x80\xe0\xa4\x82";
  const auto denied = bob.ask(vote(id, false, plain));
  ASSERT_TRUE(denied.ok) << denied.error;
  const Finished done = client.wait();
  EXPECT_EQ(done.status, 1);
  EXPECT_NE(done.err.find("DENIED (" + plain + ")"), std::string::npos) << done.err;
}

// A detail the daemon did not make itself is checked again as the verdict
// goes out: a deny rule's reason holding a terminal's controls reaches the
// client escaped, the verdict still a denial, the record keeps the text as
// it was written, and the journal says what was done.
TEST_F(Reasons, ADetailIsEscapedAsItGoesToTheRequester) {
  DaemonProcess daemon(R"(
approvers = ["bin"]
[[rule]]
name = "no-sys"
effect = "deny"
reason = "not you\u001b]0;owned\u0007\u001b[2J"
user = "sys"
)");
  ASSERT_TRUE(daemon.start());
  const Finished denied = run_client(daemon, carol_, "Wipe disk").wait();
  EXPECT_EQ(denied.status, 1) << denied.err;
  expect_no_terminal_controls(denied.err);
  EXPECT_NE(denied.err.find(R"(DENIED ("not you\u{1b}]0;owned\u{7}\u{1b}[2J"))"), std::string::npos)
      << denied.err;
  EXPECT_EQ(query_record(daemon.record_path(),
                         "SELECT hex(detail_of_verdict) FROM requests WHERE state = 'denied'"),
            "6E6F7420796F751B5D303B6F776E6564071B5B324A");
  EXPECT_TRUE(daemon.log_shows("the requester is sent it escaped")) << daemon.log();
}

}  // namespace
}  // namespace kelvane::approvald_test
