// kelvane-operator-approve: asks the local approval service whether one
// privileged operation may go ahead.
#include <cstdlib>
#include <string_view>
#include <vector>

#include "command/process.h"
#include "command/run.h"

int main(int argc, char** argv) {
  kelvane::command::prepare_process();
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const int status = kelvane::command::run(args, 1, 2);
  if (status != 0) std::exit(status);
  return 0;
}
