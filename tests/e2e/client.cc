#include "e2e/client.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "testing/service.h"

namespace kelvane::testing {

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

ClientOptions reboot_client(const std::string& socket, std::vector<std::string> extra) {
  std::vector<std::string> args = {"--title",       "Reboot",        "--detail",
                                   "Kernel update", "--target-host", "web-03"};
  args.insert(args.end(), extra.begin(), extra.end());
  return {.args = args,
          .env = {"KELVANE_OPERATOR_APPROVAL_SOCK=" + socket},
          .close_standard_descriptors = false};
}

bool ClientRun::exited() const {
  return WIFEXITED(wait_status);
}
int ClientRun::status() const {
  return exited() ? WEXITSTATUS(wait_status) : -1;
}

ClientRun run_client(const ClientOptions& options) {
  const char* client = std::getenv("KOA_CLIENT");
  if (client == nullptr) client = KOA_CLIENT_PATH;
  TempDir dir;
  const std::string out_path = dir.file("out");
  const std::string err_path = dir.file("err");

  // Everything the child needs is prepared before fork: the test process may
  // have threads, and only async-signal-safe calls are allowed in between.
  std::vector<std::string> argv_texts = {client};
  argv_texts.insert(argv_texts.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env_texts = options.env;
  std::vector<char*> argv = pointers(argv_texts);
  std::vector<char*> envp = pointers(env_texts);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (in < 0 || out < 0 || err < 0) throw std::runtime_error("cannot open capture files");

  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    if (options.close_standard_descriptors) {
      ::close(0);
      ::close(1);
      ::close(2);
    } else if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
      ::_exit(127);
    }
    ::alarm(10);  // survives exec
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in);
  ::close(out);
  ::close(err);
  ClientRun run;
  while (::waitpid(child, &run.wait_status, 0) < 0 && errno == EINTR) {
  }
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

}  // namespace kelvane::testing
