// The demo service's side of a connection: the request line's limits, the
// stale-socket probe and the peer's identity, on real sockets.
#include "demo_service/request_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "demo_service/deadline.h"
#include "service/listener.h"
#include "service/peer.h"
#include "service/stale_probe.h"
#include "support/io_error.h"
#include "testing/service.h"

namespace kelvane::demo {
namespace {

using namespace std::chrono_literals;
using service::describe_process;
using service::identify_peer;
using service::Listener;
using service::Peer;
using service::Probe;
using service::probe_socket;

// A connected pair: `service` reads what `client` sends.
struct Pair {
  int client = -1;
  int service = -1;
  Pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      client = fds[0];
      service = fds[1];
    }
  }
  ~Pair() {
    close_client();
    if (service >= 0) ::close(service);
  }
  void close_client() {
    if (client >= 0) ::close(client);
    client = -1;
  }
  void send(std::string_view bytes) const {
    ASSERT_EQ(::send(client, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
};

TEST(RequestLine, EndsAtTheLineFeedOrSaysWhatWentWrong) {
  struct Case {
    const char* name;
    std::string sent;
    bool close;
    LineStatus status;
    std::string line;
  };
  const Case cases[] = {
      {"one line", "{\"a\":1}\n", false, LineStatus::Complete, "{\"a\":1}"},
      {"what follows the line is dropped", "abc\ndef\n", false, LineStatus::Complete, "abc"},
      {"exactly the limit", std::string(64, 'x') + "\n", false, LineStatus::Complete,
       std::string(64, 'x')},
      {"one byte over the limit", std::string(65, 'x') + "\n", false, LineStatus::TooLong, ""},
      {"closed at once", "", true, LineStatus::Nothing, ""},
      {"closed without a line feed", "abc", true, LineStatus::Unfinished, ""},
      {"nothing sent, left open", "", false, LineStatus::TimedOut, ""},
  };
  for (const Case& c : cases) {
    Pair pair;
    if (!c.sent.empty()) pair.send(c.sent);
    if (c.close) pair.close_client();
    const RequestLine got = read_request_line(pair.service, 64, 200ms);
    EXPECT_EQ(got.status, c.status) << c.name;
    if (c.status == LineStatus::Complete) {
      EXPECT_EQ(got.line, c.line) << c.name;
    }
  }
}

// A client that trickles bytes must not keep the service busy for ever:
// the limit is on the whole line, not on each receive.
TEST(RequestLine, TheTimeLimitCoversTheWholeLine) {
  Pair pair;
  std::thread trickle([&] {
    for (int i = 0; i < 20; ++i) {
      if (::send(pair.client, "x", 1, MSG_NOSIGNAL) != 1) return;
      std::this_thread::sleep_for(50ms);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const RequestLine got = read_request_line(pair.service, 1024, 300ms);
  const auto took = std::chrono::steady_clock::now() - start;
  trickle.join();
  EXPECT_EQ(got.status, LineStatus::TimedOut);
  EXPECT_LT(took, 800ms);
}

// After refusing a long line the service reads the rest of it, so that a
// client still sending gets to the end of its line and reads the answer.
TEST(RequestLine, ALongLineIsReadToItsEnd) {
  Pair pair;
  const std::string line(300000, 'x');
  std::thread sender([&] {
    std::string_view rest = line;
    while (!rest.empty()) {
      const ssize_t n = ::send(pair.client, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    ::send(pair.client, "\n", 1, MSG_NOSIGNAL);
  });
  const RequestLine got = read_request_line(pair.service, 1000, 5s);
  sender.join();
  EXPECT_EQ(got.status, LineStatus::TooLong);
  char byte;
  EXPECT_EQ(::recv(pair.service, &byte, 1, MSG_DONTWAIT), -1);  // nothing left unread
}

TEST(StaleProbe, OnlyARefusedConnectionIsStale) {
  testing::TempDir dir;
  const std::string stale = dir.file("stale.sock");
  ::close(testing::listen_on(stale));
  EXPECT_EQ(probe_socket(stale).value(), Probe::Stale);

  const std::string live = dir.file("live.sock");
  const int listener = testing::listen_on(live);
  ASSERT_GE(listener, 0);
  EXPECT_EQ(probe_socket(live).value(), Probe::Live);

  // A listener that accepts nothing fills its backlog; a blocking probe
  // would wait there, and a failed one must not count as stale.
  std::vector<int> queued;
  for (int i = 0; i < 64; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, live.data(), live.size());
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    queued.push_back(fd);
    if (!connected) break;
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(probe_socket(live).value(), Probe::Live);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  for (const int fd : queued) ::close(fd);
  ::close(listener);

  const auto absent = probe_socket(dir.file("absent.sock"));
  ASSERT_FALSE(absent.ok());
  EXPECT_EQ(absent.error().os_code(), ENOENT);
  const auto too_long = probe_socket(dir.file(std::string(200, 'x')));
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error().os_code(), ENAMETOOLONG);
}

TEST(Peer, IsWhoTheKernelSaysConnected) {
  Pair pair;
  const Peer peer = identify_peer(pair.service);
  ASSERT_TRUE(peer.known);
  EXPECT_EQ(peer.pid, ::getpid());
  EXPECT_EQ(peer.uid, ::geteuid());
  ASSERT_TRUE(peer.process);
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self);
  ASSERT_GT(n, 0);
  EXPECT_EQ(peer.process->executable, std::string(self, static_cast<std::size_t>(n)));
  EXPECT_EQ(peer.process->parent, ::getppid());
  EXPECT_FALSE(peer.process->name.empty());
  EXPECT_TRUE(peer.parent);
  if (::geteuid() == 0) {
    EXPECT_EQ(peer.user, "root");
  }

  const int not_a_socket = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_FALSE(identify_peer(not_a_socket).known);
  ::close(not_a_socket);
  EXPECT_FALSE(describe_process(::getpid(), ::geteuid() + 1));  // owned by someone else
  // No process: none in this namespace, none at all, none that can exist.
  for (const pid_t none : {0, -1, 0x3FFFFFFF}) EXPECT_FALSE(describe_process(none, 0)) << none;
}

// A socket file that a stream connection can never reach (EPROTOTYPE).
int bound_datagram_socket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
    return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

bool is_socket_file(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

// Every reason not to listen names the path and what is wrong with it; only
// a stale socket is replaced.
TEST(Listener, OpensOnlyWhereNothingLiveOrForeignIs) {
  testing::TempDir dir;
  testing::write_file(dir.file("file"), "not a socket");
  const int live = testing::listen_on(dir.file("live.sock"));
  ASSERT_GE(live, 0);
  ::close(testing::listen_on(dir.file("stale.sock")));
  const int datagram = bound_datagram_socket(dir.file("datagram.sock"));
  ASSERT_GE(datagram, 0);
  const std::string too_long = "/tmp/" + std::string(110, 'x');
  struct Case {
    std::string path;
    std::string error;  // empty: opens
  };
  const Case cases[] = {
      {"", "the socket path is empty: "},
      {std::string("a\0b", 3), std::string("the socket path contains a NUL byte: a\0b", 40)},
      {too_long,
       "the socket path is 115 bytes long; it must be shorter than 108 bytes: " + too_long},
      {dir.file("file"), dir.file("file") + " exists and is not a socket; not replacing it"},
      {dir.file("file") + "/below.sock", dir.file("file") + "/below.sock: Not a directory"},
      {dir.file("missing/x.sock"), dir.file("missing/x.sock") + ": No such file or directory"},
      {dir.file("live.sock"),
       "another service is already listening on " + dir.file("live.sock") + "; leaving it alone"},
      {dir.file("datagram.sock"), "cannot tell whether a service still listens on " +
                                      dir.file("datagram.sock") + " (" +
                                      io::os_error_text(EPROTOTYPE) + "); leaving it alone"},
      {dir.file("stale.sock"), ""},
      {dir.file("new.sock"), ""},
  };
  for (const Case& c : cases) {
    Result<Listener, std::string> listener = Listener::open(c.path);
    if (c.error.empty()) {
      ASSERT_TRUE(listener.ok()) << c.path << ": " << listener.error();
      EXPECT_GE(listener.value().fd(), 0);
      EXPECT_TRUE(is_socket_file(c.path));
    } else {
      ASSERT_FALSE(listener.ok()) << c.path;
      EXPECT_EQ(listener.error(), c.error);
    }
  }
  // Gone with the listeners that made them; the live one's stays.
  EXPECT_FALSE(is_socket_file(dir.file("stale.sock")));
  EXPECT_FALSE(is_socket_file(dir.file("new.sock")));
  EXPECT_TRUE(is_socket_file(dir.file("live.sock")));
  EXPECT_TRUE(is_socket_file(dir.file("datagram.sock")));
  ::close(live);
  ::close(datagram);
}

// A listener handed on keeps its socket file until its last owner closes;
// one replaced by another closes and removes its own first; a file that
// someone else put at the path meanwhile is left alone.
TEST(Listener, MovesOwnershipAndRemovesOnlyItsOwnFile) {
  testing::TempDir dir;
  const std::string a = dir.file("a.sock");
  const std::string b = dir.file("b.sock");
  {
    Listener first = std::move(Listener::open(a)).value();
    Listener second(std::move(first));
    EXPECT_TRUE(is_socket_file(a));
    second = std::move(Listener::open(b)).value();
    EXPECT_FALSE(is_socket_file(a));
    EXPECT_TRUE(is_socket_file(b));
    Listener& self = second;
    second = std::move(self);
    EXPECT_TRUE(is_socket_file(b));
  }
  EXPECT_FALSE(is_socket_file(b));
  {
    Listener listener = std::move(Listener::open(a)).value();
    ASSERT_EQ(::unlink(a.c_str()), 0);
    ::close(testing::listen_on(a));  // another process's socket now
  }
  EXPECT_TRUE(is_socket_file(a));
}

// The parent's pid comes after the name, which a process chooses and may
// fill with spaces and parentheses; anything unexpected gives 0, never a
// pid read from the name.
TEST(Peer, ParentFromStatLooksPastTheName) {
  const std::pair<std::string_view, pid_t> cases[] = {
      {"1234 (bash) S 1000 1234 1234 0 -1", 1000},
      {"1234 (a) S 66 (b) S 77 9) R 88 1", 88},
      {"1234 (x)  S 5 1", 5},
      {"1234 (x) S 4194304", 4194304},
      {"1234 (x) S 9999999999 1", 0},
      {"1234 (x) S -1 1", 0},
      {"1234 (x) S", 0},
      {"1234 (x)", 0},
      {"1234 (x", 0},
      {"", 0},
  };
  for (const auto& [stat, parent] : cases)
    EXPECT_EQ(service::parent_from_stat(stat), parent) << stat;
}

// The time limits of requests: none, past, and longer than poll can wait
// (capped, then waited again) or than the clock can hold (no limit at all).
TEST(Deadline, FromSecondsToPollTimeouts) {
  using service::Deadline;
  struct Case {
    const char* name;
    Deadline deadline;
    bool expired;
    int poll_timeout;  // -2: between 1 and 1000
  };
  const Case cases[] = {
      {"none", Deadline::never(), false, -1},
      {"past", Deadline::after_seconds(0), true, 0},
      {"one second", Deadline::after_seconds(1), false, -2},
      {"a month, past what poll takes", Deadline::after_seconds(3'000'000), false, INT_MAX},
      {"beyond a century is none", Deadline::after_seconds(UINT64_MAX), false, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.deadline.expired(), c.expired) << c.name;
    const int timeout = c.deadline.poll_timeout();
    if (c.poll_timeout == -2) {
      EXPECT_GE(timeout, 1) << c.name;
      EXPECT_LE(timeout, 1000) << c.name;
    } else {
      EXPECT_EQ(timeout, c.poll_timeout) << c.name;
    }
  }
}

}  // namespace
}  // namespace kelvane::demo
