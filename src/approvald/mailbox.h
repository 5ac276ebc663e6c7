// Work handed back to the event loop from its helper threads: each posts a
// function, the loop wakes on the eventfd and runs them in the order posted.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "owning_thread.h"
#include "support/file_descriptor.h"

namespace kelvane::approvald {

class Mailbox {
 public:
  Mailbox();
  // The descriptor the loop waits on; readable while something is posted.
  int fd() const { return wake_.get(); }
  bool ok() const { return wake_.is_open(); }

  // From any thread.
  void post(std::function<void()> work);
  // On the loop: runs everything posted so far.
  void run_posted();

 private:
  FileDescriptor wake_;
  OwningThread loop_;  // runs what is posted
  std::mutex mutex_;
  std::vector<std::function<void()>> posted_;
};

}  // namespace kelvane::approvald
