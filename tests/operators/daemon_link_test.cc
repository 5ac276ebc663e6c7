// The link's wait for an answer: a socket that takes the connection and
// never answers (what systemd's socket does for a service that keeps failing
// to start) ends the wait, while a daemon that answers slowly, piece by
// piece, is waited for.
#include "operators/daemon_link.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "fake_daemon.h"

namespace kelvane::operators {
namespace {

using namespace std::chrono_literals;

TEST(DaemonLink, ASilentSocketEndsTheWaitAndSaysWhereToLook) {
  testing::FakeDaemon held;  // listens, never accepts: the backlog holds us
  auto link = DaemonLink::connect(held.path());
  ASSERT_TRUE(link.ok());
  ASSERT_TRUE(link.value().send("{\"op\":\"status\"}\n").ok());
  const auto started = std::chrono::steady_clock::now();
  auto line = link.value().next_line(1000ms);
  ASSERT_FALSE(line.ok());
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1000ms);
  EXPECT_NE(line.error().message.find("gave no answer in 1 s"), std::string::npos)
      << line.error().message;
  EXPECT_NE(line.error().message.find("journalctl -u kelvane-operator-approvald"),
            std::string::npos);
}

TEST(DaemonLink, ALineComingPieceByPieceIsWaitedForAsLongAsItKeepsComing) {
  testing::FakeDaemon daemon;
  auto link = DaemonLink::connect(daemon.path());
  ASSERT_TRUE(link.ok());
  std::thread slow([&] {
    FileDescriptor c = testing::accept_within(daemon.listener(), 5000);
    for (const char* piece : {"{\"ok\":", "true,", "\"n\":1", "}\n"}) {
      std::this_thread::sleep_for(400ms);  // more than a second in all
      (void)::send(c.get(), piece, std::strlen(piece), MSG_NOSIGNAL);
    }
  });
  auto line = link.value().next_line(1000ms);
  slow.join();
  ASSERT_TRUE(line.ok()) << line.error().message;
  EXPECT_EQ(line.value(), "{\"ok\":true,\"n\":1}");
}

}  // namespace
}  // namespace kelvane::operators
