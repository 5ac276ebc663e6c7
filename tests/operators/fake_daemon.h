// A stand-in for the approval daemon's operator socket, speaking the
// protocol through the same codec, and a way to run the real command
// against it.
#pragma once

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/file_descriptor.h"

namespace kelvane::operators::testing {

class FakeDaemon {
 public:
  FakeDaemon();
  ~FakeDaemon();
  FakeDaemon(const FakeDaemon&) = delete;
  FakeDaemon& operator=(const FakeDaemon&) = delete;

  const std::string& path() const { return path_; }
  int listener() const { return listener_.get(); }

  // Serves one connection per reply, in a thread: reads one line, keeps it,
  // and sends the reply as it is (an empty reply: hangs up without one).
  void serve(std::vector<std::string> replies);
  // The lines received, once every connection was served.
  std::vector<std::string> received();

 private:
  std::string dir_;
  std::string path_;
  FileDescriptor listener_;
  std::thread thread_;
  std::vector<std::string> received_;
};

// Accepts one connection on `listener`, waiting at most `ms` milliseconds.
FileDescriptor accept_within(int listener, int ms);
// One line from `fd` without its line feed, waiting at most `ms`
// milliseconds; nullopt on timeout or end of stream.
std::optional<std::string> read_line_within(int fd, int ms);

struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs kelvane-operator-approvals with `args`; KELVANE_OPERATOR_APPROVALS_SOCK
// set to `socket_variable`, or unset.
Ran run_approvals(const std::vector<std::string>& args,
                  const std::optional<std::string>& socket_variable);

}  // namespace kelvane::operators::testing
