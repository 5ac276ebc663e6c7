// The pieces a connection of the daemon is made of: its send buffer on a
// real socket, the request id as operators and the record give it, and
// what each phase of a requester allows.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "owning_thread.h"
#include "request_id.h"
#include "requester.h"
#include "send_buffer.h"
#include "support/file_descriptor.h"
#include "timer_set.h"
#include "verdict.h"

namespace kelvane::approvald {
namespace {

struct SocketPair {
  FileDescriptor near, far;
};

SocketPair socket_pair() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  return {FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

std::string drain(int fd) {
  std::string got;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return got;
    got.append(buffer, static_cast<std::size_t>(n));
  }
}

TEST(SendBuffer, KeepsWhatTheSocketDoesNotTakeAndSendsItInOrderLater) {
  SocketPair pair = socket_pair();
  int small = 4096;
  ASSERT_EQ(::setsockopt(pair.near.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  SendBuffer out;
  std::string sent;
  for (int i = 0; out.unsent() == 0 && i < 1000; ++i) {
    const std::string piece = "line " + std::to_string(i) + std::string(1000, 'x') + "\n";
    sent += piece;
    out.append(piece);
    if (out.flush(pair.near.get()) == SendBuffer::Flush::Done) {
      EXPECT_EQ(out.unsent(), 0u);
    }
  }
  ASSERT_GT(out.unsent(), 0u) << "the socket never filled";
  EXPECT_EQ(out.flush(pair.near.get()), SendBuffer::Flush::Blocked);
  // More after a blocked send goes after it; compacting keeps what is unsent.
  out.append("last\n");
  sent += "last\n";
  out.compact();
  std::string got;
  for (int i = 0; i < 10000 && out.flush(pair.near.get()) != SendBuffer::Flush::Done; ++i)
    got += drain(pair.far.get());
  got += drain(pair.far.get());
  EXPECT_EQ(got, sent);
  EXPECT_EQ(out.unsent(), 0u);
}

TEST(SendBuffer, APeerGoneFailsAndWhatIsUnsentStaysUntilCleared) {
  SocketPair pair = socket_pair();
  pair.far.close();
  SendBuffer out;
  out.append("verdict\n");
  EXPECT_EQ(out.flush(pair.near.get()), SendBuffer::Flush::Failed);  // EPIPE, no SIGPIPE
  EXPECT_EQ(out.unsent_text(), "verdict\n");
  out.clear();
  EXPECT_EQ(out.unsent(), 0u);
}

TEST(SendBuffer, BytesSentElsewhereAreSkippedAndReplaceStartsAgain) {
  SocketPair pair = socket_pair();
  SendBuffer out;
  out.replace("0123456789");
  out.skip(4);  // sent on a duplicate of the socket
  EXPECT_EQ(out.unsent_text(), "456789");
  out.skip(100);  // never more than there is
  EXPECT_EQ(out.unsent(), 0u);
  out.replace("again\n");
  EXPECT_EQ(out.flush(pair.near.get()), SendBuffer::Flush::Done);
  EXPECT_EQ(drain(pair.far.get()), "again\n");
}

TEST(RequestId, ReadsOnlyTheIdsTheDaemonWrites) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> id;
  };
  const Case cases[] = {
      {"0", 0},
      {"7", 7},
      {"1234567", 1234567},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},  // past 64 bits: no throw, no wrap
      {"99999999999999999999999", std::nullopt},
      {"007", std::nullopt},  // another spelling of 7 names no request
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1a", std::nullopt},
      {"a", std::nullopt},
      {"12:", std::nullopt},  // a digit loop without checks reads ':' as ten
  };
  for (const Case& c : cases) {
    const std::optional<RequestId> parsed = RequestId::parse(c.text);
    ASSERT_EQ(parsed.has_value(), c.id.has_value()) << '"' << c.text << '"';
    if (c.id) {
      EXPECT_EQ(parsed->number(), *c.id) << c.text;
      EXPECT_EQ(parsed->text(), c.text);
    }
  }
}

TEST(RequesterPhase, WhatEachPhaseAllows) {
  struct Case {
    RequesterPhase phase;
    bool has_id, decided;
  };
  const Case cases[] = {
      {RequesterPhase::Reading, false, false},   {RequesterPhase::Identifying, false, false},
      {RequesterPhase::Inserting, false, false}, {RequesterPhase::Pending, true, false},
      {RequesterPhase::Recording, true, true},   {RequesterPhase::Sending, true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.phase.has_id(), c.has_id) << c.phase.value();
    EXPECT_EQ(c.phase.decided(), c.decided) << c.phase.value();
  }
}

TEST(Verdict, EachHasOneStateTextAndWhatTheRequesterIsTold) {
  struct Case {
    Verdict verdict;
    const char* state;
    const char* sent;
  };
  const Case cases[] = {
      {Verdict::Approved, "approved", "approved"}, {Verdict::Denied, "denied", "denied"},
      {Verdict::Refused, "refused", "refused"},    {Verdict::Withdrawn, "withdrawn", "refused"},
      {Verdict::Expired, "expired", "expired"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(state_text(c.verdict), c.state);
    EXPECT_EQ(sent_verdict(c.verdict), c.sent);
    EXPECT_EQ(verdict_named(c.state), c.verdict) << c.state;
  }
  // States the fleet's database may hold that no verdict of this daemon has.
  for (const char* other : {"pending", "abandoned", "invalid", "", "Approved", "approved "})
    EXPECT_EQ(verdict_named(other), std::nullopt) << '"' << other << '"';
}

TEST(TimerSet, GivesTheDueInTimeOrderAndMovesOrDropsATimerByWhatItsOwnerHolds) {
  const TimerSet::Clock::time_point t0{};
  const auto at = [&](int seconds) { return t0 + std::chrono::seconds(seconds); };
  TimerSet timers;
  TimerSet::Held a, b, c, d;
  timers.arm(1, a, at(30));
  timers.arm(2, b, at(10));
  timers.arm(3, c, at(20));
  timers.arm(4, d, at(10));  // the same time as another: both are kept
  timers.arm(1, a, at(5));   // moved earlier: its old time is gone
  timers.arm(3, c, std::nullopt);
  EXPECT_FALSE(c.has_value());
  EXPECT_EQ(timers.next(), at(5));
  EXPECT_EQ(timers.take_due(at(4)), std::nullopt);
  std::vector<std::uint64_t> fired;
  while (const auto due = timers.take_due(at(20))) fired.push_back(*due);
  EXPECT_EQ(fired, (std::vector<std::uint64_t>{1, 2, 4}));
  EXPECT_EQ(timers.next(), std::nullopt);  // 3 was dropped, 1 moved from 30
}

TEST(OwningThreadDeathTest, AUseFromAnotherThreadStopsTheDaemon) {
  const OwningThread loop;
  loop.check("the loop's own use");  // the thread that made it: fine
#ifndef NDEBUG
  EXPECT_DEATH(std::thread([&] { loop.check("the pending map"); }).join(),
               "the pending map from a thread that does not own it");
#endif
}

}  // namespace
}  // namespace kelvane::approvald
