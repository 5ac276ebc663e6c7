// The real client against services and inputs that misbehave on purpose:
// replies that trickle, never end, reset or nest absurdly deep, a service
// that never reads, huge files, arguments that are not UTF-8, and a start
// with the standard descriptors closed.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "approval/request_options.h"
#include "hostile/harness.h"
#include "support/utf8.h"

namespace kelvane::hostile {
namespace {

using std::chrono::milliseconds;
using namespace std::string_literals;

const std::vector<std::string> kRequired = {"--title", "t", "--detail", "d", "--target-host", "h"};
constexpr std::string_view kApprovedPrefix = "kelvane operator approval: APPROVED (";

std::vector<std::string> with_required(std::vector<std::string> extra) {
  std::vector<std::string> args = kRequired;
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// Sizes shrink under valgrind, which runs the client some 30 times slower.
std::size_t scaled(std::size_t full, std::size_t under_valgrind_size) {
  return under_valgrind() ? under_valgrind_size : full;
}

// A service that reads the request line (keeping its start) and answers.
Service answering(const ScratchDir& dir, std::string reply, std::string* request = nullptr,
                  std::size_t* request_size = nullptr) {
  return Service(dir, [reply = std::move(reply), request, request_size](int c) {
    const std::size_t n = read_request_line(c, request);
    if (request_size != nullptr) *request_size = n;
    send_all(c, reply);
  });
}

// The client with the required options and `extra` against a service that
// approves; `request` gets the start of the line it sent.
RunResult run_approved(const std::vector<std::string>& extra, std::string& request) {
  ScratchDir dir;
  Service service = answering(dir,
                              R"({"verdict":"approved","detail":"ok"})"
                              "\n",
                              &request);
  RunResult r = run_client({with_required(extra), service.socket_path()});
  service.join();
  return r;
}

TEST(HostileService, ReplyOneByteAtATime) {
  ScratchDir dir;
  const std::string reply = R"({"verdict":"approved","detail":"caf)"s + "\xC3\xA9" +
                            R"( ok","approvalToken":"tok"})" + "\r\n";
  Service service(dir, [&](int c) {
    read_request_line(c);
    for (const char byte : reply) {
      if (!send_all(c, std::string_view(&byte, 1))) return;
      std::this_thread::sleep_for(milliseconds(2));
    }
  });
  const RunResult r = run_client({kRequired, service.socket_path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "kelvane operator approval: APPROVED (caf\xC3\xA9 ok)\n");
  EXPECT_EQ(r.out, "tok\n");
}

TEST(HostileService, HugeReplyWithoutNewlineThenClose) {
  const std::size_t chunks = scaled(1600, 16);  // of 64 KiB: 100 MiB
  const std::string chunk(65536, 'x');
  ScratchDir dir;
  Service service(dir, [&](int c) {
    read_request_line(c);
    (void)(send_all(c, R"({"verdict":"approved","detail":")") && send_repeated(c, chunk, chunks) &&
           send_all(c, R"("})"));
  });
  const RunResult r = run_client({kRequired, service.socket_path()});
  ASSERT_EQ(r.status, 0) << r.err.substr(0, 200);
  EXPECT_EQ(r.err_size, kApprovedPrefix.size() + chunks * chunk.size() + 2);
  EXPECT_EQ(r.err.substr(0, kApprovedPrefix.size() + 3), std::string(kApprovedPrefix) + "xxx");
  EXPECT_TRUE(std::string_view(r.err_tail).ends_with("xxx)\n"));
  EXPECT_EQ(r.out, "");
  std::printf("client took %lld ms for a reply of %zu bytes\n",
              static_cast<long long>(r.elapsed.count()), chunks * chunk.size());
}

TEST(HostileService, EndlessReplyRunsOutOfMemoryCleanly) {
  if (client_has_asan() || under_valgrind()) {
    GTEST_SKIP() << "the client cannot run under an address-space limit here";
  }
  ScratchDir dir;
  std::size_t sent_chunks = 0;
  Service service(dir, [&](int c) {
    read_request_line(c);
    const std::string chunk(65536, 'x');
    // Bounded all the same: 16 GiB is far beyond the client's limit.
    if (!send_all(c, R"({"verdict":"approved","detail":")")) return;
    while (sent_chunks < 262144 && send_all(c, chunk)) ++sent_chunks;
  });
  RunOptions limited(kRequired, service.socket_path());
  limited.address_space_limit = std::size_t{256} << 20;
  const RunResult r = run_client(limited);
  service.join();
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "kelvane operator approval unavailable: out of memory\n");
  EXPECT_EQ(r.out, "");
  EXPECT_LT(sent_chunks, 262144u);
}

TEST(HostileService, ServiceThatNeverReadsKeepsTheClientWaiting) {
  ScratchDir dir;
  // Far more than a socket buffer holds, so that the client blocks in send.
  const std::string detail_file = dir.file("detail");
  write_repeated(detail_file, "", std::string(65536, 'd'), 256, "");
  std::atomic<bool> finished = false;
  Service service(dir, [&](int) {
    for (int i = 0; i < 12000 && !finished; ++i) std::this_thread::sleep_for(milliseconds(10));
  });
  bool was_running = false;
  const RunResult r = run_client(
      {{"--title", "t", "--detail-file", detail_file, "--target-host", "h"}, service.socket_path()},
      [&](pid_t pid) {
        std::this_thread::sleep_for(milliseconds(under_valgrind() ? 5000 : 700));
        siginfo_t info{};
        was_running =
            ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == 0;
        return true;  // kill it: the wait would be endless by design
      });
  finished = true;
  EXPECT_TRUE(was_running);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(HostileService, ResetInTheMiddleOfTheReply) {
  ScratchDir dir;
  Service service(dir, [&](int c) {
    // Leaving the request unread makes the close a reset on a local socket;
    // SO_LINGER with a zero time does the same on others.
    pollfd p{c, POLLIN, 0};
    ::poll(&p, 1, 60'000);
    send_all(c, R"({"verdict":"appr)");
    std::this_thread::sleep_for(milliseconds(50));
    const linger abort_close{1, 0};
    ::setsockopt(c, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
  });
  const RunResult r = run_client({kRequired, service.socket_path()});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "kelvane operator approval unavailable: Connection reset by peer (os error 104)\n");
  EXPECT_EQ(r.out, "");
}

TEST(HostileService, TenMillionBracketsInAnUnknownMemberAreSkipped) {
  const std::size_t depth = scaled(10'000'000, 1'000'000);
  ScratchDir dir;
  Service service(dir, [&](int c) {
    read_request_line(c);
    const std::string open(depth / 100, '['), close(depth / 100, ']');
    (void)(send_all(c, R"({"verdict":"approved","x":)") && send_repeated(c, open, 100) &&
           send_repeated(c, close, 100) &&
           send_all(c, R"(,"detail":"ok"})"
                       "\n"));
  });
  const RunResult r = run_client({kRequired, service.socket_path()});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "kelvane operator approval: APPROVED (ok)\n");
}

TEST(HostileInput, MillionBracketContextArgumentIsNoJson) {
  // In process: the kernel refuses a single argument of this size.
  const std::string deep(1'000'000, '[');
  const std::vector<std::string_view> args = {"--title",       "t", "--detail",  "d",
                                              "--target-host", "h", "--context", deep};
  auto parsed = approval::parse_args(args, std::nullopt);
  ASSERT_TRUE(parsed.ok());
  EXPECT_FALSE(parsed.value().context);

  // Through the binary, as deep as one argument may be.
  std::string request;
  const RunResult r = run_approved({"--context", std::string(131000, '[')}, request);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(request,
            R"({"id":"","title":"t","detail":"d","action":"admin_operation","requester":"cli",)"
            R"("sourceHost":"unknown","targetHost":"h"})"
            "\n");
}

TEST(HostileInput, MillionBracketContextFileIsAnError) {
  ScratchDir dir;
  const std::string path = dir.file("deep.json");
  write_repeated(path, "", std::string(1'000'000, '['), 1, "");
  const RunResult r = run_client({with_required({"--context-file", path})});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "could not parse --context-file " + path +
                       " as JSON: recursion limit exceeded at line 1 column 128\n");
}

TEST(HostileInput, HugeDetailFileIsSentWhole) {
  // 300 MB in the slow preset; a size that keeps the suite quick otherwise.
  // Lines of 63 letters and a line feed, which is sent as \n.
  const std::string line = std::string(63, 'a') + "\n";
  std::string block;
  for (int i = 0; i < 1024; ++i) block += line;  // 64 KiB
  const std::size_t blocks = slow_tests() ? 4578 : scaled(488, 61);
  const std::size_t lines = blocks * 1024;
  ScratchDir dir;
  const std::string path = dir.file("detail");
  write_repeated(path, "", block, blocks, "");
  std::string request;
  std::size_t request_size = 0;
  Service service = answering(dir,
                              R"({"verdict":"denied","detail":"too long"})"
                              "\n",
                              &request, &request_size);
  const RunResult r = run_client(
      {{"--title", "t", "--detail-file", path, "--target-host", "h"}, service.socket_path()});
  service.join();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kelvane operator approval: DENIED (too long)\n");
  const std::string head = R"({"id":"","title":"t","detail":")";
  const std::string tail =
      R"(","action":"admin_operation","requester":"cli","sourceHost":"unknown","targetHost":"h"})"
      "\n";
  EXPECT_EQ(request_size, head.size() + lines * (line.size() + 1) + tail.size());
  EXPECT_EQ(request.substr(0, head.size() + 66), head + std::string(63, 'a') + "\\na");
  std::printf("client took %lld ms for a detail file of %zu bytes\n",
              static_cast<long long>(r.elapsed.count()), blocks * block.size());
}

TEST(HostileInput, ArgumentsThatAreNotUtf8) {
  const std::string usage(approval::kUsageText);
  const RunResult title = run_client({{"--title", "\xFF", "--detail", "d", "--target-host", "h"}});
  EXPECT_EQ(title.status, 2);
  EXPECT_EQ(title.err, "--title value is not valid UTF-8: \xFF\n" + usage);
  EXPECT_EQ(title.out, "");

  // A context that is not UTF-8 is no JSON: left out, the run goes on.
  std::string request;
  const RunResult context = run_approved({"--context", "\"\xC3\x28\""}, request);
  EXPECT_EQ(context.status, 0);
  EXPECT_TRUE(utf8::is_valid(request));
  EXPECT_EQ(request.find("context"), std::string::npos) << request;
}

TEST(HostileInput, StandardDescriptorsClosedAtStart) {
  // The socket must not take descriptor 1: the token would go to the service.
  ScratchDir dir;
  std::string request;
  Service service = answering(dir,
                              R"({"verdict":"approved","detail":"ok","approvalToken":"tok"})"
                              "\n",
                              &request);
  RunOptions closed(kRequired, service.socket_path());
  closed.close_standard_descriptors = true;
  const RunResult approved = run_client(closed);
  service.join();
  EXPECT_EQ(approved.status, 0);
  EXPECT_TRUE(request.starts_with(R"({"id":"","title":"t")")) << request;

  RunOptions help({"--help"});
  help.close_standard_descriptors = true;
  const RunResult usage = run_client(help);
  EXPECT_EQ(usage.status, 2);
}

TEST(HostileInput, EmptyArgumentVector) {
  RunOptions nothing({});
  nothing.empty_argument_vector = true;
  const RunResult r = run_client(nothing);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, approval::kUsageText);
}

}  // namespace
}  // namespace kelvane::hostile
