#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "approval/connection.h"
#include "command/run.h"
#include "testing/failing_new.h"
#include "testing/reboot_request.h"
#include "testing/sanitizer.h"
#include "testing/service.h"

namespace kelvane::approval {
namespace {

using testing::FakeService;
using testing::open_descriptor_count;
using testing::TempDir;

using testing::kRebootRequestLine;
using testing::reboot_request;

EnvLookup socket_env(const std::string& path) {
  return [path](const char* name) -> std::optional<std::string_view> {
    if (std::string_view(name) == kSocketVariable) return std::string_view(path);
    return std::nullopt;
  };
}

TEST(DecodeReply, TrimsThenDecodes) {
  auto ok =
      decode_reply("\t{\"verdict\":\"approved\",\"detail\":\"ok\",\"approvalToken\":\"t\"}\r\n");
  ASSERT_TRUE(ok.ok()) << ok.error().to_string();
  EXPECT_EQ(ok.value().verdict, "approved");
  EXPECT_EQ(ok.value().approval_token, "t");

  const std::tuple<std::string_view, std::string, io::ErrorKind> failures[] = {
      {"", "EOF while parsing a value at line 1 column 0", io::ErrorKind::UnexpectedEof},
      {" \n", "EOF while parsing a value at line 1 column 0", io::ErrorKind::UnexpectedEof},
      {"  oops\n", "expected value at line 1 column 1", io::ErrorKind::InvalidData},
      {"{\"verdict\":\"x\"", "EOF while parsing an object at line 1 column 14",
       io::ErrorKind::UnexpectedEof},
  };
  for (const auto& [line, text, kind] : failures) {
    auto r = decode_reply(line);
    ASSERT_FALSE(r.ok()) << line;
    EXPECT_EQ(r.error().to_string(), text);
    EXPECT_EQ(r.error().kind(), kind);
  }
}

struct RoundTrip {
  const char* name;
  std::vector<std::string> reply;
  std::string verdict_or_error;
  bool ok;
};

// Every way out of the exchange closes the socket: the descriptor count is
// the same before and after.
TEST(RequestDecision, RoundTripsLeaveNoDescriptorBehind) {
  const RoundTrip cases[] = {
      {"approved",
       {R"({"verdict":"approved","detail":"ok"})"
        "\n"},
       "approved",
       true},
      {"no newline", {R"({"verdict":"denied","detail":"no"})"}, "denied", true},
      {"silent close", {}, "EOF while parsing a value at line 1 column 0", false},
      {"not UTF-8", {"\xFF\n"}, "stream did not contain valid UTF-8", false},
      {"bad JSON", {"{]\n"}, "key must be a string at line 1 column 2", false},
  };
  for (const RoundTrip& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("s.sock");
    FakeService service(path, {.read_request = true, .pieces = c.reply});
    const std::size_t before = open_descriptor_count();
    auto decision = request_decision(reboot_request(), socket_env(path));
    EXPECT_EQ(service.received(), kRebootRequestLine);  // the service has closed its end too
    EXPECT_EQ(open_descriptor_count(), before);
    ASSERT_EQ(decision.ok(), c.ok);
    EXPECT_EQ(decision.ok() ? decision.value().verdict : decision.error().to_string(),
              c.verdict_or_error);
  }
}

TEST(RequestDecision, NoServiceLeavesNoDescriptorBehind) {
  TempDir dir;
  const std::size_t before = open_descriptor_count();
  auto decision = request_decision(reboot_request(), socket_env(dir.file("none.sock")));
  EXPECT_EQ(open_descriptor_count(), before);
  ASSERT_FALSE(decision.ok());
  EXPECT_EQ(decision.error().os_code(), ENOENT);
}

TEST(RequestDecision, ReplyTooBigForMemoryIsReportedAndTheSocketClosed) {
  if (testing::kAddressSanitizer) GTEST_SKIP() << "allocation failures cannot be injected here";
  TempDir dir;
  const std::string path = dir.file("s.sock");
  const std::string huge =
      "{\"verdict\":\"approved\",\"detail\":\"" + std::string(4 << 20, 'x') + "\"}\n";
  FakeService service(path, {.read_request = true, .pieces = {huge}});
  const std::size_t before = open_descriptor_count();
  testing::set_allocation_limit(1 << 20);
  auto decision = request_decision(reboot_request(), socket_env(path));
  testing::set_allocation_limit(0);
  service.received();
  EXPECT_EQ(open_descriptor_count(), before);
  ASSERT_FALSE(decision.ok());
  EXPECT_EQ(decision.error().to_string(), "out of memory");
}

std::string drain(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    out.append(buffer, static_cast<std::size_t>(n));
  return out;
}

TEST(Run, OptionsTooLargeForMemoryAreAUsageErrorNotAnAbort) {
  if (testing::kAddressSanitizer) GTEST_SKIP() << "allocation failures cannot be injected here";
  TempDir dir;
  // Small enough to be read, but its compact form, more than four times as
  // long (each 1E15 is written 1000000000000000.0), is not.
  std::string elements = "[1E15";
  for (int i = 0; i < 100000; ++i) elements += ",1E15";
  elements += "]";
  testing::write_file(dir.file("context.json"), elements);
  const std::string path = dir.file("context.json");
  const std::vector<std::string_view> args = {"--title",       "t", "--detail",       "d",
                                              "--target-host", "h", "--context-file", path};
  int out[2], err[2];
  ASSERT_EQ(::pipe(out), 0);
  ASSERT_EQ(::pipe(err), 0);
  testing::set_allocation_limit(1 << 20);
  const int status = command::run(
      args, [](const char*) { return std::optional<std::string_view>(); }, out[1], err[1]);
  testing::set_allocation_limit(0);
  ::close(out[1]);
  ::close(err[1]);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(drain(out[0]), "");
  EXPECT_EQ(drain(err[0]), "out of memory\n");
  ::close(out[0]);
  ::close(err[0]);
}

}  // namespace
}  // namespace kelvane::approval
