#include "support/prepare_process.h"

#include <csignal>

#include "support/standard_descriptors.h"

namespace kelvane {

void prepare_process() noexcept {
  // Nowhere to report a failure yet: the run goes on, and a write to a
  // closed descriptor fails like any other.
  (void)open_closed_standard_descriptors();
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace kelvane
