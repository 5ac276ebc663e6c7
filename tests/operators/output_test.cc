// The operators' command when its output cannot be written (a full disk,
// a closed pipe): a listing that was not shown is not a success; a vote
// that was taken is, and says the confirmation was lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake_daemon.h"
#include "service/operator_protocol.h"

namespace kelvane::operators {
namespace {

struct Outcome {
  int status = -1;
  std::string err;
};

// Runs the command with its standard output on /dev/full.
Outcome run_into_full_disk(const std::vector<std::string>& args) {
  std::vector<char*> argv = {const_cast<char*>(KOA_APPROVALS_PATH)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  char* envp[] = {nullptr};
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) return {};
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(null, 0);
    ::dup2(full, 1);
    ::dup2(err[1], 2);
    ::execve(KOA_APPROVALS_PATH, argv.data(), envp);
    ::_exit(127);
  }
  ::close(full);
  ::close(null);
  ::close(err[1]);
  Outcome outcome;
  char buffer[4096];
  for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;)
    outcome.err.append(buffer, static_cast<std::size_t>(n));
  ::close(err[0]);
  int raw = 0;
  ::waitpid(child, &raw, 0);
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return outcome;
}

TEST(Output, WhatCannotBeWrittenIsNotReportedAsDone) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "needs /dev/full";
  service::OperatorAnswer listed;
  listed.requests = std::vector<service::RequestRecord>{};
  service::OperatorAnswer voted;
  voted.state = "approved";
  voted.votes = 1;
  voted.needed = 1;
  service::OperatorAnswer status;
  status.version = "0.1.0";
  status.uptime_secs = 1;
  status.pending = 0;
  status.record_bytes = 0;
  service::OperatorAnswer withdrawn;
  withdrawn.state = "withdrawn";
  const struct {
    std::vector<std::string> args;
    service::OperatorAnswer reply;
    int status;
    std::string err;
  } cases[] = {
      {{"list"}, listed, 1, "cannot write the output"},
      {{"list", "--json"}, listed, 1, "cannot write the output"},
      {{"status"}, status, 1, "cannot write the output"},
      {{"approve", "17"}, voted, 0, "done, but the confirmation cannot be written"},
      {{"cancel", "17"}, withdrawn, 0, "done, but the confirmation cannot be written"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    testing::FakeDaemon daemon;
    daemon.serve({service::encode_answer(c.reply)});
    std::vector<std::string> args = {"--socket", daemon.path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome ran = run_into_full_disk(args);
    EXPECT_EQ(ran.status, c.status) << ran.err;
    EXPECT_NE(ran.err.find(c.err), std::string::npos) << ran.err;
  }
  // Usage text that cannot be written is not a success either.
  EXPECT_NE(run_into_full_disk({"--help"}).status, 0);
}

}  // namespace
}  // namespace kelvane::operators
