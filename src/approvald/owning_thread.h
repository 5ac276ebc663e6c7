// The one thread a piece of state belongs to, stated where the state is
// declared and checked where it is used: in a build with assertions, a use
// from any other thread stops the daemon at once rather than race.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace kelvane::approvald {

class OwningThread {
 public:
  // Owned by the thread that makes it (the loop's: the daemon is made on
  // the thread that then runs it).
  OwningThread() noexcept : owner_(std::this_thread::get_id()) {}

  // `what` names the use in the message.
  void check([[maybe_unused]] const char* what) const noexcept {
#ifndef NDEBUG
    if (std::this_thread::get_id() == owner_) return;
    std::fprintf(stderr, "kelvane-operator-approvald: %s from a thread that does not own it\n",
                 what);
    std::abort();
#endif
  }

 private:
  std::thread::id owner_;
};

}  // namespace kelvane::approvald
