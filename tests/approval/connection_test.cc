#include "approval/connection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <thread>

#include "testing/service.h"

namespace kelvane::approval {
namespace {

using testing::FakeService;
using testing::open_descriptor_count;
using testing::TempDir;

std::string os_text(int code) {
  return io::Error::os(code).to_string();
}

TEST(ResolveSocketPath, ChoiceOfPath) {
  using Env = std::map<std::string, std::string>;
  const std::string name(kSocketFileName);
  const std::pair<Env, std::string> cases[] = {
      {{}, "/tmp/kelvane-operator-approval.sock"},
      {{{kSocketVariable, "/run/s.sock"}, {kRuntimeDirVariable, "/run/user/501"}}, "/run/s.sock"},
      {{{kSocketVariable, " rel/s "}}, " rel/s "},  // taken as it stands
      {{{kSocketVariable, ""}, {kRuntimeDirVariable, "/run/user/501"}}, "/run/user/501/" + name},
      {{{kSocketVariable, "/bad\xFF"}, {kRuntimeDirVariable, "/run/user/501/"}},
       "/run/user/501/" + name},
      {{{kRuntimeDirVariable, "/"}}, "/" + name},
      {{{kRuntimeDirVariable, "rt"}}, "rt/" + name},
      {{{kRuntimeDirVariable, "/a//b//"}}, "/a//b//" + name},
      {{{kRuntimeDirVariable, "/d\xC3\xA9"}}, "/d\xC3\xA9/" + name},
      {{{kRuntimeDirVariable, ""}}, "/tmp/kelvane-operator-approval.sock"},
      {{{kRuntimeDirVariable, "/run/\xC3"}}, "/tmp/kelvane-operator-approval.sock"},
  };
  for (const auto& [environment, expected] : cases) {
    const Env& env = environment;  // clang 14 cannot capture a structured binding
    const EnvLookup lookup = [&env](const char* variable) -> std::optional<std::string_view> {
      const auto it = env.find(variable);
      if (it == env.end()) return std::nullopt;
      return std::string_view(it->second);
    };
    EXPECT_EQ(resolve_socket_path(lookup), expected);
  }
}

TEST(ConnectUnixStream, RefusedAndTriedPaths) {
  // sun_path is 108 bytes here: 107 bytes are tried (and not found), 108 refused.
  const std::string fits = "/tmp/" + std::string(102, 'p');
  const std::string too_long = fits + "p";
  ASSERT_EQ(fits.size(), 107u);
  const std::pair<std::string, std::string> cases[] = {
      {fits, os_text(ENOENT)},
      {too_long, "path must be shorter than SUN_LEN"},
      {std::string(500, 'x'), "path must be shorter than SUN_LEN"},
      {std::string("/tmp/a\0b", 8), "paths must not contain interior null bytes"},
      {too_long + std::string(1, '\0'), "paths must not contain interior null bytes"},
      {"/tmp/koa-no-such-dir/s.sock", os_text(ENOENT)},
  };
  const std::size_t before = open_descriptor_count();
  for (const auto& [path, text] : cases) {
    auto stream = connect_unix_stream(path);
    ASSERT_FALSE(stream.ok());
    EXPECT_EQ(stream.error().to_string(), text);
    EXPECT_EQ(open_descriptor_count(), before) << "descriptor left open for " << path;
  }
}

TEST(ConnectUnixStream, SocketFileWithoutListenerIsRefused) {
  TempDir dir;
  const std::string path = dir.file("s.sock");
  const int fd = testing::listen_on(path);
  ASSERT_GE(fd, 0);
  ::close(fd);  // the file stays, nobody listens
  auto stream = connect_unix_stream(path);
  ASSERT_FALSE(stream.ok());
  EXPECT_EQ(stream.error().to_string(), os_text(ECONNREFUSED));
}

TEST(ConnectUnixStream, LongestPathThatFitsConnectsAndIsCloseOnExec) {
  TempDir dir;
  std::string path = dir.path() + "/";
  path += std::string(107 - path.size(), 's');
  ASSERT_EQ(path.size(), 107u);
  FakeService service(path, {.read_request = false, .pieces = {}});
  const std::size_t before = open_descriptor_count();
  {
    auto stream = connect_unix_stream(path);
    ASSERT_TRUE(stream.ok()) << stream.error().to_string();
    EXPECT_EQ(open_descriptor_count(), before + 1);
    EXPECT_TRUE(::fcntl(stream.value().get(), F_GETFD) & FD_CLOEXEC);
  }
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST(ConnectUnixStream, SocketIsMadeBeforeThePathIsExamined) {
  // With no descriptor number free, creating the socket fails first, and
  // that error wins over the path's own fault.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit none{3, 3};
    if (::setrlimit(RLIMIT_NOFILE, &none) != 0) ::_exit(10);
    auto stream = connect_unix_stream(std::string(300, 'x'));
    ::_exit(!stream.ok() && stream.error().os_code() == EMFILE ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, type_, 0, fds_), 0); }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  void close_peer() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }
  int ours() const { return fds_[0]; }
  int peer() const { return fds_[1]; }

  int type_ = SOCK_STREAM;
  int fds_[2] = {-1, -1};
};

class WriteAll : public SocketPair {
 protected:
  // Everything the peer reads while `send` runs on our end, until we shut
  // it: a reader of its own keeps large writes from blocking.
  template <class Send>
  std::string received_from(Send send) {
    std::string got;
    std::thread reader([&] {
      char buffer[65536];
      ssize_t n;
      while ((n = ::read(peer(), buffer, sizeof buffer)) > 0)
        got.append(buffer, static_cast<std::size_t>(n));
    });
    send();
    ::shutdown(ours(), SHUT_WR);
    reader.join();
    return got;
  }
};

TEST_F(WriteAll, VanishedPeerGivesEpipeNotASignal) {
  struct sigaction previous {};
  struct sigaction fatal {};
  fatal.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &fatal, &previous);  // a SIGPIPE would end this test
  close_peer();
  Result<void, io::Error> sent = write_all(ours(), "request\n");
  ::sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().to_string(), os_text(EPIPE));
  EXPECT_NE(sent.error().to_string().find("(os error 32)"), std::string::npos);
}

TEST_F(WriteAll, LargeBufferArrivesWhole) {
  std::string big(1 << 20, 'a');
  big.back() = '\n';
  EXPECT_EQ(received_from([&] { EXPECT_TRUE(write_all(ours(), big).ok()); }), big);
}

TEST_F(WriteAll, PiecesArriveWholeAndInOrder) {
  const std::string head = "{\"context\":";
  const std::string middle(3 << 20, 'a');
  const std::string tail = "}\n";
  const std::array<std::string_view, 3> pieces = {head, middle, tail};
  EXPECT_EQ(received_from([&] { EXPECT_TRUE(write_all(ours(), pieces).ok()); }),
            head + middle + tail);
}

// Each piece is one datagram of a sequenced-packet pair, so each arrives in
// a receive of its own: splits fall exactly where the table says.
class ReadLine : public SocketPair {
 protected:
  ReadLine() { type_ = SOCK_SEQPACKET; }
  void send_pieces(const std::vector<std::string>& pieces, bool then_close) {
    for (const std::string& p : pieces) {
      ASSERT_EQ(::send(peer(), p.data(), p.size(), 0), static_cast<ssize_t>(p.size()));
    }
    if (then_close) ::shutdown(peer(), SHUT_WR);
  }
};

struct LineCase {
  std::vector<std::string> pieces;
  std::string line;   // the line after the call
  std::string error;  // empty for success
};

TEST_F(ReadLine, PiecesSplitsAndEndings) {
  const LineCase cases[] = {
      {{"abc\n"}, "abc\n", ""},
      {{"a", "b", "c\n"}, "abc\n", ""},
      {{"\xC3", "\xA9\n"}, "\xC3\xA9\n", ""},  // character split across receives
      {{"\xE2\x82", "\xAC", "\n"}, "\xE2\x82\xAC\n", ""},
      {{"ok\r\n"}, "ok\r\n", ""},
      {{"no newline"}, "no newline", ""},  // then the peer closes
      {{}, "", ""},                        // closed without a byte
      {{"\n"}, "\n", ""},
      {{"first\nsecond\n", "third\n"}, "first\n", ""},
      {{"ok\n\xFF\xFF\n"}, "ok\n", ""},  // what follows is never examined
      {{"bad \xFF\n"}, "", "stream did not contain valid UTF-8"},
      {{"cut \xC3"}, "", "stream did not contain valid UTF-8"},  // truncated at the end
      {{"\xED\xA0\x80\n"}, "", "stream did not contain valid UTF-8"},
  };
  for (const LineCase& c : cases) {
    TearDown();
    SetUp();
    send_pieces(c.pieces, true);
    LineReader reader(ours());
    std::string line;
    auto n = read_line(reader, line);
    EXPECT_EQ(line, c.line);
    if (c.error.empty()) {
      ASSERT_TRUE(n.ok()) << n.error().to_string();
      EXPECT_EQ(n.value(), c.line.size());
    } else {
      ASSERT_FALSE(n.ok());
      EXPECT_EQ(n.error().to_string(), c.error);
    }
  }
}

TEST_F(ReadLine, KeepsTheRestOfTheBufferForTheNextLine) {
  send_pieces({"one\ntwo\n", "three"}, true);
  LineReader reader(ours());
  std::string line = "kept:";
  ASSERT_EQ(read_line(reader, line).value(), 4u);
  EXPECT_EQ(line, "kept:one\n");
  EXPECT_EQ(reader.pos, 4u);
  EXPECT_EQ(reader.filled, 8u);
  line.clear();
  ASSERT_EQ(read_line(reader, line).value(), 4u);
  EXPECT_EQ(line, "two\n");
  line.clear();
  ASSERT_EQ(read_line(reader, line).value(), 5u);
  EXPECT_EQ(line, "three");
}

TEST_F(ReadLine, InvalidBytesLeaveEarlierContentAlone) {
  send_pieces({"\xFF\n"}, true);
  LineReader reader(ours());
  std::string line = "before";
  EXPECT_FALSE(read_line(reader, line).ok());
  EXPECT_EQ(line, "before");
}

using ReadLineStream = SocketPair;

TEST_F(ReadLineStream, LineLongerThanTheBuffer) {
  const std::string body(3 * LineReader::kCapacity + 17, 'x');
  std::thread writer([&] {
    EXPECT_TRUE(write_all(peer(), body + "\nnext line\n").ok());
    ::shutdown(peer(), SHUT_WR);
  });
  LineReader reader(ours());
  std::string line;
  auto n = read_line(reader, line);
  writer.join();
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(line, body + "\n");
}

TEST_F(ReadLineStream, ReceiveErrorWinsOverInvalidBytes) {
  // A peer that closes with our bytes unread resets the connection: the
  // invalid byte it sent first is received, then the reset.
  ASSERT_TRUE(write_all(ours(), "unread").ok());
  ASSERT_TRUE(write_all(peer(), "\xFF").ok());
  close_peer();
  LineReader reader(ours());
  std::string line;
  auto n = read_line(reader, line);
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.error().to_string(), os_text(ECONNRESET));
  EXPECT_EQ(line, "");
}

}  // namespace
}  // namespace kelvane::approval
