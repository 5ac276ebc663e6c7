#include "approval/outcome.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace kelvane::approval {
namespace {

using approval::OperatorApprovalDecision;

struct OutcomeCase {
  OperatorApprovalDecision decision;
  std::string error_lines;
  std::optional<std::string> token_line;
  int status;
};

TEST(ReportDecision, EveryOutcomeRow) {
  const OutcomeCase cases[] = {
      {{"approved", "ok", std::nullopt, std::nullopt},
       "kelvane operator approval: APPROVED (ok)\n",
       std::nullopt,
       0},
      {{"approved", "ok", "tok", std::nullopt},
       "kelvane operator approval: APPROVED (ok)\n",
       "tok\n",
       0},
      {{"approved", "ok", "", std::nullopt}, "kelvane operator approval: APPROVED (ok)\n", "\n", 0},
      {{"approved", "ok", std::nullopt, "2030"},
       "kelvane operator approval: APPROVED (ok)\nkelvane operator approval: token expires at "
       "2030\n",
       std::nullopt,
       0},
      {{"approved", "ok", "t", "2030"},
       "kelvane operator approval: APPROVED (ok)\nkelvane operator approval: token expires at "
       "2030\n",
       "t\n",
       0},
      {{"denied", "no", "t", "2030"}, "kelvane operator approval: DENIED (no)\n", std::nullopt, 1},
      {{"Approved", "x", "t", std::nullopt},
       "kelvane operator approval: Approved (x)\n",
       std::nullopt,
       4},
      {{"approved ", "x", std::nullopt, std::nullopt},
       "kelvane operator approval: approved  (x)\n",
       std::nullopt,
       4},
      {{"", "", std::nullopt, std::nullopt}, "kelvane operator approval:  ()\n", std::nullopt, 4},
      {{"denied", "line1\nline2", std::nullopt, std::nullopt},
       "kelvane operator approval: DENIED (line1\nline2)\n",
       std::nullopt,
       1},
  };
  for (const OutcomeCase& c : cases) {
    const Report r = report_decision(c.decision);
    EXPECT_EQ(r.error_lines, c.error_lines);
    EXPECT_EQ(r.token_line, c.token_line);
    EXPECT_EQ(r.status, c.status);
  }
}

TEST(ReportUnavailable, CarriesTheErrorText) {
  const Report r = report_unavailable(
      approval::io_error_from_json(json::Error(json::ErrorCode::EofWhileParsingValue, 1, 0)));
  EXPECT_EQ(
      r.error_lines,
      "kelvane operator approval unavailable: EOF while parsing a value at line 1 column 0\n");
  EXPECT_FALSE(r.token_line);
  EXPECT_EQ(r.status, 3);
}

std::string drain(int fd) {
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

TEST(Emit, TokenGoesToStandardOutputAfterTheErrorLines) {
  int out[2], err[2];
  ASSERT_EQ(::pipe(out), 0);
  ASSERT_EQ(::pipe(err), 0);
  const int status = emit(report_decision({"approved", "ok", "tok", "soon"}), out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(drain(out[0]), "tok\n");
  EXPECT_EQ(drain(err[0]),
            "kelvane operator approval: APPROVED (ok)\nkelvane operator approval: token expires at "
            "soon\n");
  ::close(out[0]);
  ::close(err[0]);
}

TEST(Emit, UnwritableTokenIsAFailureNotAnApproval) {
  std::signal(SIGPIPE, SIG_IGN);
  int out[2], err[2];
  ASSERT_EQ(::pipe(out), 0);
  ASSERT_EQ(::pipe(err), 0);
  ::close(out[0]);  // the reader of standard output is gone
  const int status = emit(report_decision({"approved", "ok", "tok", std::nullopt}), out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(drain(err[0]),
            "kelvane operator approval: APPROVED (ok)\n"
            "kelvane operator approval: could not write the approval token: " +
                std::string(std::strerror(EPIPE)) + " (os error 32)\n");
  ::close(err[0]);
}

TEST(Emit, DevNullIsNotAFailure) {
  const int null_fd = ::open("/dev/null", O_WRONLY);
  ASSERT_GE(null_fd, 0);
  EXPECT_EQ(emit(report_decision({"approved", "ok", "tok", std::nullopt}), null_fd, null_fd), 0);
  ::close(null_fd);
}

}  // namespace
}  // namespace kelvane::approval
