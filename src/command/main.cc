// kelvane-operator-approve: asks the local approval service whether one
// privileged operation may go ahead.
#include <cstdlib>
#include <string_view>
#include <vector>

#include "approval/outcome.h"
#include "command/run.h"
#include "support/out_of_memory.h"
#include "support/prepare_process.h"
#include "support/write_loop.h"

namespace {

// Everything the run allocates is released when this returns, so that a run
// that ends the process with its status leaves nothing behind on the heap.
int run_arguments(int argc, char** argv) {
  return kelvane::unless_out_of_memory(
      [&] {
        // An empty vector (argc 0) is possible with execve; there is nothing to skip then.
        std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        return kelvane::command::run(args, 1, 2);
      },
      [] {
        // Only the argument vector's own copy can fail here, before any option is read.
        (void)kelvane::io::write_fully(2, "out of memory\n");
        return kelvane::approval::kUsage;
      });
}

}  // namespace

int main(int argc, char** argv) {
  kelvane::prepare_process();
  const int status = run_arguments(argc, argv);
  if (status != 0) std::exit(status);
  return 0;
}
