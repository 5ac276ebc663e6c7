// System calls that a signal interrupted are repeated at once: a signal that
// the program does not end on must not turn into a failed read or write.
#pragma once

#include <cerrno>

namespace kelvane {

// Calls `call` until it returns anything but -1 with errno EINTR. Not for
// connect or close, whose interrupted call has already taken effect.
template <class Call>
auto repeat_if_interrupted(Call&& call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

}  // namespace kelvane
