// kelvane-operator-approvals: what operators use to see, approve and deny
// the requests waiting at the approval daemon.
#include <cstdlib>
#include <string_view>
#include <vector>

#include "operators/run.h"
#include "support/out_of_memory.h"
#include "support/prepare_process.h"
#include "support/write_loop.h"

int main(int argc, char** argv) {
  kelvane::prepare_process();
  const int status = kelvane::unless_out_of_memory(
      [&] {
        const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        return kelvane::operators::run(args, kelvane::approval::process_env,
                                       kelvane::operators::Streams{});
      },
      [] {
        (void)kelvane::io::write_fully(2, "kelvane-operator-approvals: out of memory\n");
        return static_cast<int>(kelvane::operators::kUnreachable);
      });
  return status;
}
