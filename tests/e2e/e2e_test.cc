// The real binary against fake services: exit status, both output streams and
// the exact bytes that reached the service.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "e2e/client.h"
#include "support/io_error.h"
#include "testing/reboot_request.h"
#include "testing/service.h"

namespace kelvane::testing {
namespace {

const std::vector<std::string> kArgs = {"--title",       "Reboot",        "--detail",
                                        "Kernel update", "--target-host", "web-03"};
const std::string kRequestLine(kRebootRequestLine);
const std::string kApproved = "kelvane operator approval: APPROVED ";
const std::string kUnavailable = "kelvane operator approval unavailable: ";

std::string os_text(int code) {
  return io::Error::os(code).to_string();
}

ClientRun run_against(const std::string& socket, std::vector<std::string> args = kArgs) {
  return run_client({.args = std::move(args),
                     .env = {"KELVANE_OPERATOR_APPROVAL_SOCK=" + socket},
                     .close_standard_descriptors = false});
}

struct ExchangeCase {
  const char* name;
  std::vector<std::string> reply;  // pieces, sent with pauses between them
  int status;
  std::string out;
  std::string err;
};

// Only what the service does differs from row to row; the client is always
// run with the same options, so every row also checks the request line.
TEST(EndToEnd, ServiceAnswers) {
  const std::string long_detail(20000, 'd');
  const ExchangeCase cases[] = {
      {"token and expiry",
       {R"({"verdict":"approved","detail":"ok","approvalToken":"tok-1","tokenExpiresAt":"2030-01-01T00:00:00Z"})"
        "\n"},
       0,
       "tok-1\n",
       kApproved + "(ok)\nkelvane operator approval: token expires at 2030-01-01T00:00:00Z\n"},
      {"neither token nor expiry",
       {R"({"verdict":"approved","detail":"ok"})"
        "\n"},
       0,
       "",
       kApproved + "(ok)\n"},
      {"null token, expiry only",
       {R"({"approvalToken":null,"tokenExpiresAt":"soon","detail":"ok","verdict":"approved"})"
        "\n"},
       0,
       "",
       kApproved + "(ok)\nkelvane operator approval: token expires at soon\n"},
      {"empty token",
       {R"({"verdict":"approved","detail":"ok","approvalToken":""})"
        "\n"},
       0,
       "\n",
       kApproved + "(ok)\n"},
      {"array form",
       {R"(["approved","ok","t",null])"
        "\n"},
       0,
       "t\n",
       kApproved + "(ok)\n"},
      {"denied with a token",
       {R"({"verdict":"denied","detail":"no","approvalToken":"t"})"
        "\n"},
       1,
       "",
       "kelvane operator approval: DENIED (no)\n"},
      {"other verdict",
       {R"({"verdict":"Approved","detail":"x","approvalToken":"t"})"
        "\n"},
       4,
       "",
       "kelvane operator approval: Approved (x)\n"},
      {"detail with a line feed",
       {R"({"verdict":"expired","detail":"a\nb"})"
        "\n"},
       4,
       "",
       "kelvane operator approval: expired (a\nb)\n"},
      {"no newline, then close",
       {R"({"verdict":"denied","detail":"no"})"},
       1,
       "",
       "kelvane operator approval: DENIED (no)\n"},
      {"character split across receives",
       {R"({"verdict":"approved","detail":"caf)", "\xC3", "\xA9\"}", "\n"},
       0,
       "",
       kApproved + "(caf\xC3\xA9)\n"},
      {"longer than the read buffer",
       {R"({"verdict":"denied","detail":")" + long_detail + "\"}\n"},
       1,
       "",
       "kelvane operator approval: DENIED (" + long_detail + ")\n"},
      {"further lines ignored",
       {R"({"verdict":"denied","detail":"no"})"
        "\n"
        R"({"verdict":"approved","detail":"x"})"
        "\n"},
       1,
       "",
       "kelvane operator approval: DENIED (no)\n"},
      {"CR LF",
       {R"({"verdict":"approved","detail":"ok"})"
        "\r\n"},
       0,
       "",
       kApproved + "(ok)\n"},
      {"white space around",
       {" \t"
        R"({"verdict":"approved","detail":"ok"})"
        "\xE3\x80\x80 \n"},
       0,
       "",
       kApproved + "(ok)\n"},
      {"closed without answer",
       {},
       3,
       "",
       kUnavailable + "EOF while parsing a value at line 1 column 0\n"},
      {"empty line",
       {"\n"},
       3,
       "",
       kUnavailable + "EOF while parsing a value at line 1 column 0\n"},
      {"position after trimming",
       {"  oops\n"},
       3,
       "",
       kUnavailable + "expected value at line 1 column 1\n"},
      {"not UTF-8",
       {"{\"verdict\":\"approved\",\"detail\":\"\xFF\"}\n"},
       3,
       "",
       kUnavailable + "stream did not contain valid UTF-8\n"},
  };
  for (const ExchangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string socket = dir.file("s.sock");
    FakeService service(socket, {.read_request = true, .pieces = c.reply});
    const ClientRun run = run_against(socket);
    EXPECT_EQ(run.status(), c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(service.received(), kRequestLine);
  }
}

struct FailureCase {
  const char* name;
  std::string socket;
  std::string err;
};

TEST(EndToEnd, NothingToTalkTo) {
  TempDir dir;
  const std::string stale = dir.file("stale.sock");
  ::close(listen_on(stale));  // a socket file with nobody behind it
  std::string fits = dir.path() + "/";
  fits += std::string(107 - fits.size(), 'n');
  const FailureCase cases[] = {
      {"no socket file", dir.file("none.sock"), kUnavailable + os_text(ENOENT) + "\n"},
      {"no listener", stale, kUnavailable + os_text(ECONNREFUSED) + "\n"},
      {"107 bytes are tried", fits, kUnavailable + os_text(ENOENT) + "\n"},
      {"108 bytes are refused", fits + "n", kUnavailable + "path must be shorter than SUN_LEN\n"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ClientRun run = run_against(c.socket);
    EXPECT_EQ(run.status(), 3);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
  }
}

TEST(EndToEnd, ServiceGoneBeforeReadingGivesBrokenPipeNotASignal) {
  // The request is far larger than the socket buffer, so the client is still
  // sending when the service hangs up.
  TempDir dir;
  const std::string detail_file = dir.file("detail");
  write_file(detail_file, std::string(4 << 20, 'x'));
  const std::string socket = dir.file("s.sock");
  FakeService service(socket, {.read_request = false, .pieces = {}});
  const ClientRun run =
      run_against(socket, {"--title", "t", "--target-host", "h", "--detail-file", detail_file});
  ASSERT_TRUE(run.exited()) << "ended by signal " << WTERMSIG(run.wait_status);
  EXPECT_EQ(run.status(), 3);
  EXPECT_EQ(run.err, kUnavailable + os_text(EPIPE) + "\n");
  EXPECT_NE(run.err.find("(os error 32)"), std::string::npos);
}

TEST(EndToEnd, RuntimeDirectoryWhenTheSocketVariableIsEmpty) {
  TempDir dir;
  FakeService service(dir.file("kelvane-operator-approval.sock"),
                      {.read_request = true,
                       .pieces = {R"({"verdict":"approved","detail":"ok"})"
                                  "\n"}});
  const ClientRun run =
      run_client({.args = kArgs,
                  .env = {"KELVANE_OPERATOR_APPROVAL_SOCK=", "XDG_RUNTIME_DIR=" + dir.path(),
                          "HOSTNAME=build-07"},
                  .close_standard_descriptors = false});
  EXPECT_EQ(run.status(), 0);
  EXPECT_EQ(run.err, kApproved + "(ok)\n");
  EXPECT_NE(service.received().find(R"("sourceHost":"build-07")"), std::string::npos);
}

TEST(EndToEnd, UsageErrorsNeverReachTheService) {
  TempDir dir;
  const std::string socket = dir.file("s.sock");
  FakeService service(socket, {.read_request = true, .pieces = {"{}\n"}});
  const ClientRun run = run_against(socket, {"--detail", "d", "--target-host", "h"});
  EXPECT_EQ(run.status(), 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(service.received(), "");
  EXPECT_FALSE(service.accepted());
}

TEST(EndToEnd, ClosedStandardDescriptorsDoNotCarryTheTokenToTheSocket) {
  // With 0 to 2 closed, an unprepared client would get descriptor 0 or 1 for
  // its socket and write the token line into the connection.
  TempDir dir;
  const std::string socket = dir.file("s.sock");
  FakeService service(socket,
                      {.read_request = true,
                       .pieces = {R"({"verdict":"approved","detail":"ok","approvalToken":"secret"})"
                                  "\n"}});
  const ClientRun run = run_client({.args = kArgs,
                                    .env = {"KELVANE_OPERATOR_APPROVAL_SOCK=" + socket},
                                    .close_standard_descriptors = true});
  EXPECT_EQ(run.status(), 0);
  EXPECT_EQ(service.received(), kRequestLine);
}

// Every option at once, in an order unlike the wire order; the context comes
// from a file and is re-encoded, its keys sorted.
TEST(EndToEnd, FullRequestLine) {
  TempDir dir;
  const std::string socket = dir.file("s.sock");
  const std::string context = dir.file("context.json");
  const std::string detail = dir.file("detail.txt");
  write_file(
      context,
      R"({"ticket": "OPS-1234", "window": {"start": "02:00", "minutes": 30}, "dryRun": false})");
  write_file(detail, "stop \"api\" now\n\tC:\\temp\n");
  FakeService service(socket, {.read_request = true,
                               .pieces = {R"({"verdict":"approved","detail":"ok"})"
                                          "\n"}});
  const ClientRun run =
      run_against(socket, {"--timeout", "300", "--target-host", "db-01", "--context-file", context,
                           "--title", "Restart billing database", "--detail-file", detail,
                           "--action", "restart_service", "--requester", "deploy-bot",
                           "--source-host", "build-07", "--operation-digest", "sha256:4f1c0e9a"});
  EXPECT_EQ(run.status(), 0);
  EXPECT_EQ(
      service.received(),
      R"({"id":"","title":"Restart billing database","detail":"stop \"api\" now\n\tC:\\temp\n",)"
      R"("action":"restart_service","requester":"deploy-bot","sourceHost":"build-07","targetHost":"db-01",)"
      R"("operationDigest":"sha256:4f1c0e9a","context":{"dryRun":false,"ticket":"OPS-1234",)"
      R"("window":{"minutes":30,"start":"02:00"}},"timeoutSecs":300})"
      "\n");
}

struct FileOptionCase {
  const char* name;
  std::vector<std::string> args;
  std::string err;
};

TEST(EndToEnd, FileOptionsFailBeforeAnyContact) {
  TempDir dir;
  const std::string usage =
      "usage: kelvane-operator-approve --title T (--detail D|--detail-file PATH) --action A \\\n"
      "+         --requester R --source-host H --target-host H [--operation-digest D] \\\n"
      "+         [--context JSON|--context-file PATH] [--timeout SECS]\n";
  write_file(dir.file("latin1"), "caf\xE9");
  write_file(dir.file("empty"), "");
  write_file(dir.file("bom.json"), "\xEF\xBB\xBF{}");
  write_file(dir.file("broken.json"), "{\"a\":\n  [1,]}");
  const std::string missing = dir.file("missing");
  const FileOptionCase cases[] = {
      {"missing file",
       {"--detail-file", missing},
       "could not read --detail-file " + missing + ": No such file or directory (os error 2)\n"},
      {"directory",
       {"--detail-file", dir.path()},
       "could not read --detail-file " + dir.path() + ": " + os_text(EISDIR) + "\n"},
      {"not UTF-8",
       {"--detail-file", dir.file("latin1")},
       "could not read --detail-file " + dir.file("latin1") +
           ": stream did not contain valid UTF-8\n"},
      {"empty file fails the required check", {"--detail-file", dir.file("empty")}, usage},
      {"blank path", {"--detail-file", "  "}, "--detail-file requires a path\n" + usage},
      {"path as last argument", {"--detail-file"}, "--detail-file requires a path\n" + usage},
      {"leading space kept",
       {"--detail-file", " " + missing},
       "could not read --detail-file  " + missing + ": " + os_text(ENOENT) + "\n"},
      {"context file missing",
       {"--context-file", missing},
       "could not read --context-file " + missing + ": " + os_text(ENOENT) + "\n"},
      {"context file blank path",
       {"--context-file", ""},
       "--context-file requires a path\n" + usage},
      {"context file empty",
       {"--context-file", dir.file("empty")},
       "could not parse --context-file " + dir.file("empty") +
           " as JSON: EOF while parsing a value at line 1 column 0\n"},
      {"context file with a byte-order mark",
       {"--context-file", dir.file("bom.json")},
       "could not parse --context-file " + dir.file("bom.json") +
           " as JSON: expected value at line 1 column 1\n"},
      {"context file not JSON",
       {"--context-file", dir.file("broken.json")},
       "could not parse --context-file " + dir.file("broken.json") +
           " as JSON: trailing comma at line 2 column 6\n"},
      {"a later --help is never reached",
       {"--detail-file", missing, "--help"},
       "could not read --detail-file " + missing + ": " + os_text(ENOENT) + "\n"},
  };
  const std::string socket = dir.file("s.sock");
  for (const FileOptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--title", "t", "--detail", "d", "--target-host", "h"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ClientRun run = run_against(socket, args);
    EXPECT_EQ(run.status(), 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
  }
}

}  // namespace
}  // namespace kelvane::testing
