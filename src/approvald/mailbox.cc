#include "mailbox.h"

#include <sys/eventfd.h>

#include <cstdint>

namespace kelvane::approvald {

Mailbox::Mailbox() : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void Mailbox::post(std::function<void()> work) {
  {
    const std::lock_guard lock(mutex_);
    posted_.push_back(std::move(work));
  }
  const std::uint64_t one = 1;
  // A full counter still wakes the loop; nothing else can go wrong here.
  if (::write(wake_.get(), &one, sizeof one) < 0) return;
}

void Mailbox::run_posted() {
  loop_.check("Mailbox::run_posted");
  std::uint64_t count = 0;
  // Only clears the wake-up; what was posted is in the list either way.
  if (::read(wake_.get(), &count, sizeof count) < 0) count = 0;
  std::vector<std::function<void()>> work;
  {
    const std::lock_guard lock(mutex_);
    work.swap(posted_);
  }
  for (auto& item : work) item();
}

}  // namespace kelvane::approvald
