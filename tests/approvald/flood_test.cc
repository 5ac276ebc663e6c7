// A flood of connections from one user over their cap: every one is refused
// at accept, and none of them may slow another user down or fill the disk.
// KOA_FLOOD_SECONDS sets how long it floods (5 s here; bench/flood.sh runs
// the full minute and prints the figures).
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "harness.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using service::OperatorOp;

std::uint64_t file_size(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

std::uint64_t record_bytes(const DaemonProcess& daemon) {
  return file_size(daemon.record_path()) + file_size(daemon.record_path() + "-wal");
}

// A process as `as` that connects and hangs up as fast as it can until
// killed, counting nothing: the daemon refuses each at accept.
pid_t start_flooder(const std::string& path, const Account& as) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  if (::setgroups(0, nullptr) != 0 || ::setgid(as.gid) != 0 || ::setuid(as.uid) != 0) _exit(126);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  for (;;) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) continue;
    (void)::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
  }
}

// Timed, so run alone (ctest's approvald.flood, RUN_SERIAL), not among the
// suite's parallel tests: hence the prefix gtest's discovery passes over.
TEST(ApprovaldFlood, DISABLED_AnotherUserIsListedAtOnceAndTheRecordStaysSmall) {
  const auto alice = account("daemon"), bob = account("bin"), carol = account("sys");
  if (!alice || !bob || !carol) GTEST_SKIP() << "needs the accounts daemon, bin and sys";
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
  const char* seconds_text = std::getenv("KOA_FLOOD_SECONDS");
  const int seconds = seconds_text ? std::atoi(seconds_text) : 5;

  DaemonProcess daemon("approvers = [\"bin\"]\nmax_pending_per_user = 4\n");
  ASSERT_TRUE(daemon.start());
  OperatorLink watcher(daemon, bob);
  ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
  // carol fills her cap, then floods.
  std::vector<FileDescriptor> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(connect_as(daemon.request_socket(), carol));
    ASSERT_TRUE(send_all(held.back().get(), request_line("held")));
    ASSERT_FALSE(next_pending(watcher).empty());
  }
  const std::uint64_t before = record_bytes(daemon);
  std::vector<pid_t> flooders;
  for (int i = 0; i < 2; ++i) flooders.push_back(start_flooder(daemon.request_socket(), *carol));

  // alice asks, again and again, while it floods: how long until listed.
  std::vector<double> waits_ms;
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  int n = 0;
  while (Clock::now() < end) {
    const std::string title = "other " + std::to_string(n++);
    // From the connection made (what the test's own forks cost is not the
    // daemon's) to the request listed.
    FileDescriptor fd = connect_as(daemon.request_socket(), alice);
    const auto asked = Clock::now();
    ASSERT_TRUE(send_all(fd.get(), request_line(title)));
    bool listed = false;
    while (!listed && Clock::now() - asked < 10s) {
      const auto event = watcher.next_event(10s);
      ASSERT_TRUE(event);
      listed = event->kind == service::OperatorEvent::Kind::Pending && event->request &&
               event->request->title == title;
    }
    ASSERT_TRUE(listed) << title;
    waits_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
    fd.close();  // withdrawn: her place is free again
    // Her requests' own rows are part of the growth measured: a few a second.
    std::this_thread::sleep_for(400ms);
  }
  for (const pid_t flooder : flooders) {
    ::kill(flooder, SIGKILL);
    ::waitpid(flooder, nullptr, 0);
  }
  std::sort(waits_ms.begin(), waits_ms.end());
  const double median = waits_ms[waits_ms.size() / 2];
  const std::uint64_t grown = record_bytes(daemon) - std::min(before, record_bytes(daemon));
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
  const std::string refused =
      query_record(daemon.record_path(), "SELECT coalesce(sum(count), 0) FROM refused_at_accept");
  std::cout << "[ figures  ] " << seconds << " s of flood: " << refused
            << " connections refused at accept; another user listed after " << median
            << " ms (median of " << waits_ms.size() << "), " << waits_ms.back()
            << " ms at most; the record grew by " << grown << " bytes\n";
  EXPECT_LT(median, 500.0);
  EXPECT_LT(grown, 5u << 20);
  EXPECT_GT(std::stoull(refused), 1000u);
  // One journal line per owner and minute, not one per refusal.
  const std::string log = daemon.log();
  std::size_t lines = 0;
  for (std::size_t at = log.find("max_pending_per_user = 4"); at != std::string::npos;
       at = log.find("max_pending_per_user = 4", at + 1))
    ++lines;
  EXPECT_LE(lines, static_cast<std::size_t>(2 * (seconds / 60 + 2)));
}

}  // namespace
}  // namespace kelvane::approvald_test
