// The guard that ends the wait for the operator on Ctrl-C, in its own
// process since it takes over the signals: which signal it reports, the
// connection it shuts down, and what it hands back to sudo.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "sudo/interrupt.h"

namespace kelvane::sudo {
namespace {

volatile std::sig_atomic_t g_sudo_heard = 0;

extern "C" void sudo_handler(int signal) {
  g_sudo_heard = signal;
}

// Puts a handler in place for the life of the test, and the old one back.
class Handler {
 public:
  Handler(int signal, void (*handler)(int)) : signal_(signal) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, &saved_);
  }
  ~Handler() { ::sigaction(signal_, &saved_, nullptr); }
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

 private:
  int signal_;
  struct sigaction saved_ {};
};

// The first signal is the one reported; a connection that comes after it is
// shut down as soon as it is watched; sudo's handler hears of the signal
// only once the guard is gone. An ignored signal (nohup) stays ignored.
TEST(SudoInterruptGuard, KeepsTheFirstSignalAndShutsALateConnection) {
  const Handler on_int(SIGINT, sudo_handler);
  const Handler on_term(SIGTERM, sudo_handler);
  const Handler on_hup(SIGHUP, SIG_IGN);
  g_sudo_heard = 0;
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  {
    InterruptGuard guard;
    EXPECT_EQ(guard.caught(), 0);
    ASSERT_EQ(std::raise(SIGHUP), 0);
    EXPECT_EQ(guard.caught(), 0) << "an ignored signal is left alone";
    ASSERT_EQ(std::raise(SIGINT), 0);
    ASSERT_EQ(std::raise(SIGTERM), 0);
    EXPECT_EQ(guard.caught(), SIGINT);
    EXPECT_EQ(g_sudo_heard, 0);

    InterruptGuard::watch(pair[0]);
    char byte = 0;
    EXPECT_EQ(::recv(pair[1], &byte, 1, MSG_DONTWAIT), 0) << "the connection is shut down";
  }
  EXPECT_EQ(g_sudo_heard, SIGINT) << "passed on to sudo once its handler is back";
  ::close(pair[0]);
  ::close(pair[1]);
}

}  // namespace
}  // namespace kelvane::sudo
