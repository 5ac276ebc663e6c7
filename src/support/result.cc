#include "support/result.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>

namespace kelvane::detail {

void stop_on_wrong_access(std::string_view what) noexcept {
  // One write, without stdio or allocation: the program is in a state it
  // was never meant to reach.
  constexpr std::string_view kLead = "internal error: ";
  iovec pieces[] = {{const_cast<char*>(kLead.data()), kLead.size()},
                    {const_cast<char*>(what.data()), what.size()},
                    {const_cast<char*>("\n"), 1}};
  (void)!::writev(STDERR_FILENO, pieces, 3);
  std::abort();
}

}  // namespace kelvane::detail
