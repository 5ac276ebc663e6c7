// The demo service asking an operator on a pseudo-terminal, with the real
// client waiting for the answer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/demo_harness.h"

namespace kelvane::testing {
namespace {

// Until the `n`th question is up.
bool wait_for_question(DemoRun& demo, std::size_t n = 1) {
  for (int i = 0; i < 1000; ++i) {
    const std::string screen = demo.screen();
    std::size_t count = 0;
    for (std::size_t at = screen.find("? [y/N] "); at != std::string::npos;
         at = screen.find("? [y/N] ", at + 1)) {
      ++count;
    }
    if (count >= n) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

struct Asking {
  TempDir dir;
  std::string socket = dir.file("demo.sock");
  DemoRun demo{{.args = {"--socket", socket}, .env = {}, .terminal = true}};

  ClientOptions client(std::vector<std::string> extra = {}) const {
    return reboot_client(socket, std::move(extra));
  }
};

TEST(DemoOperator, ApprovesWhatTheOperatorApproves) {
  Asking asking;
  ASSERT_TRUE(asking.demo.wait_until_ready()) << asking.demo.screen() << asking.demo.log();
  ClientProcess client(asking.client());
  ASSERT_TRUE(wait_for_question(asking.demo)) << asking.demo.screen();
  asking.demo.type("y\n");
  const auto run = client.wait();
  ASSERT_TRUE(run);
  EXPECT_EQ(run->status(), 0) << run->err;
  EXPECT_TRUE(
      run->err.starts_with("kelvane operator approval: APPROVED (approved by the operator)\n"))
      << run->err;
  EXPECT_TRUE(asking.demo.wait_for_log("verdict=approved how=operator"));
}

// A key pressed while nothing was asked must not answer the next request,
// which the operator has not seen yet.
TEST(DemoOperator, TypeAheadDoesNotAnswer) {
  Asking asking;
  ASSERT_TRUE(asking.demo.wait_until_ready());
  asking.demo.type("y\n");
  std::this_thread::sleep_for(200ms);
  ClientProcess client(asking.client());
  ASSERT_TRUE(wait_for_question(asking.demo)) << asking.demo.screen();
  EXPECT_FALSE(client.wait(500ms)) << "answered by what was typed before the question";
  asking.demo.type("n\n");
  const auto run = client.wait();
  ASSERT_TRUE(run);
  EXPECT_EQ(run->status(), 1);
  EXPECT_EQ(run->err, "kelvane operator approval: DENIED (denied by the operator)\n");
}

// When the client gives up, the question goes away; a late "y" approves
// nothing, and the next request is asked afresh.
TEST(DemoOperator, WithdrawsTheQuestionWhenTheClientLeaves) {
  Asking asking;
  ASSERT_TRUE(asking.demo.wait_until_ready());
  {
    ClientProcess client(asking.client());
    ASSERT_TRUE(wait_for_question(asking.demo));
    client.kill();
  }
  ASSERT_TRUE(
      asking.demo.wait_for_screen("-> withdrawn: the client left; nothing was approved\r\n"))
      << asking.demo.screen();
  EXPECT_TRUE(
      asking.demo.wait_for_log("title=\"Reboot\" target=\"web-03\" verdict=none how=client-left"))
      << asking.demo.log();
  asking.demo.type("y\n");
  std::this_thread::sleep_for(200ms);
  const std::string after = asking.demo.screen().substr(asking.demo.screen().find("withdrawn"));
  EXPECT_EQ(after.find("-> approved"), std::string::npos) << after;

  ClientProcess next(asking.client());
  ASSERT_TRUE(wait_for_question(asking.demo, 2));
  EXPECT_FALSE(next.wait(300ms)) << "the late y carried over";
  std::this_thread::sleep_for(1s);  // keys are ignored for a second after a withdrawal
  asking.demo.type("y\n");
  const auto run = next.wait();
  ASSERT_TRUE(run);
  EXPECT_EQ(run->status(), 0) << run->err;
}

// The race of a withdrawal: the operator's "y" for a question that has just
// been withdrawn lands as the next request appears. It must not answer that
// one, whether it comes as a whole line at once or its line feed comes after
// the quiet second (the line then holds nothing, which denies); the
// withdrawal is on the screen before the next request.
TEST(DemoOperator, AYesForAWithdrawnQuestionNeverAnswersTheNext) {
  Asking asking;
  ASSERT_TRUE(asking.demo.wait_until_ready());
  auto first = std::make_unique<ClientProcess>(asking.client());
  ASSERT_TRUE(wait_for_question(asking.demo));
  ClientProcess next(asking.client({"--title", "Second"}));  // waits in the listen queue
  std::this_thread::sleep_for(100ms);
  first->kill();
  ASSERT_TRUE(wait_for_question(asking.demo, 2)) << asking.demo.screen();
  asking.demo.type("y\n");
  std::this_thread::sleep_for(300ms);
  asking.demo.type("y");
  std::this_thread::sleep_for(900ms);
  asking.demo.type("\n");  // after the quiet second: an empty line, which denies
  const auto run = next.wait();
  ASSERT_TRUE(run);
  EXPECT_EQ(run->status(), 1) << run->err << asking.demo.screen();
  EXPECT_EQ(run->err, "kelvane operator approval: DENIED (denied by the operator)\n");

  const std::string screen = asking.demo.screen();
  const std::size_t withdrawn = screen.find("-> withdrawn: the client left; nothing was approved");
  const std::size_t second = screen.find("\"Second\"");
  ASSERT_NE(withdrawn, std::string::npos) << screen;
  ASSERT_NE(second, std::string::npos) << screen;
  EXPECT_LT(withdrawn, second) << screen;
}

// After a question the operator answered, the next one takes an answer at
// once: the quiet second follows only a question that went away.
TEST(DemoOperator, AnAnsweredQuestionLeavesTheNextOpen) {
  Asking asking;
  ASSERT_TRUE(asking.demo.wait_until_ready());
  for (int i = 1; i <= 2; ++i) {
    ClientProcess client(asking.client());
    ASSERT_TRUE(wait_for_question(asking.demo, static_cast<std::size_t>(i)));
    asking.demo.type("y\n");
    const auto run = client.wait(2s);
    ASSERT_TRUE(run) << "request " << i << " was not answered at once";
    EXPECT_EQ(run->status(), 0) << run->err;
  }
}

// The end of the operator's input is not the operator's denial.
TEST(DemoOperator, EndOfInputMeansNoOperatorAnswered) {
  Asking asking;
  ASSERT_TRUE(asking.demo.wait_until_ready());
  ClientProcess client(asking.client());
  ASSERT_TRUE(wait_for_question(asking.demo));
  asking.demo.type("\x04");  // Ctrl-D at the start of a line
  const auto run = client.wait();
  ASSERT_TRUE(run);
  EXPECT_EQ(run->status(), 1);
  EXPECT_EQ(run->err,
            "kelvane operator approval: DENIED (no operator answered: the approval service's input "
            "has ended)\n");
  EXPECT_TRUE(asking.demo.wait_for_log("verdict=denied how=no-operator"));
}

// The requester's time limit: unanswered by then, the request is denied and
// the question withdrawn.
TEST(DemoOperator, DeniesWhenTheRequestersTimeLimitPasses) {
  Asking asking;
  ASSERT_TRUE(asking.demo.wait_until_ready());
  ClientProcess client(asking.client({"--timeout", "1"}));
  ASSERT_TRUE(wait_for_question(asking.demo));
  const auto run = client.wait(5s);
  ASSERT_TRUE(run) << "still waiting after the time limit";
  EXPECT_EQ(run->status(), 1);
  EXPECT_EQ(run->err,
            "kelvane operator approval: DENIED (no operator answered within the request's time "
            "limit of 1 "
            "seconds)\n");
  EXPECT_TRUE(
      asking.demo.wait_for_screen("-> denied: no answer within the request's time limit (1 s)"));
  EXPECT_TRUE(asking.demo.wait_for_log("verdict=denied how=timeout"));
}

TEST(DemoOperator, RefusesToAskWithoutAnOperator) {
  struct Case {
    const char* name;
    bool terminal;
    bool background;
    std::string reason;
  };
  const Case cases[] = {
      {"no terminal", false, false, "standard input is not a terminal, so no operator can answer"},
      {"in the background", true, true,
       "this process is not in the foreground of its terminal, so no operator can answer"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string socket = dir.file("demo.sock");
    DemoRun demo({.args = {"--socket", socket},
                  .env = {},
                  .terminal = c.terminal,
                  .background = c.background});
    EXPECT_EQ(demo.wait_for_exit(5s), 1) << c.name;
    EXPECT_EQ(demo.log(), "kelvane-operator-approval-demo: cannot ask an operator: " + c.reason +
                              "; use --auto approve or --auto deny to answer without one\n")
        << c.name;
    EXPECT_EQ(read_whole_file(socket), "") << c.name;
    EXPECT_EQ(::access(socket.c_str(), F_OK), -1) << c.name << ": listened anyway";
  }
}

}  // namespace
}  // namespace kelvane::testing
