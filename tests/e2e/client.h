// Runs the real client binary, as a script would, and captures what it did.
#pragma once

#include <string>
#include <vector>

namespace kelvane::testing {

struct ClientRun {
  int wait_status = 0;  // as waitpid reports it
  std::string out;
  std::string err;

  bool exited() const;
  int status() const;  // the exit status, or -1 when ended by a signal
};

struct ClientOptions {
  std::vector<std::string> args;  // without the program name
  std::vector<std::string> env;   // NAME=value, the whole environment
  bool close_standard_descriptors = false;
};

// The NULL-terminated pointer array execve wants, pointing into `texts`.
std::vector<char*> pointers(std::vector<std::string>& texts);

// A run of the client asking to reboot web-03 of the service on `socket`,
// with `extra` options after the required ones.
ClientOptions reboot_client(const std::string& socket, std::vector<std::string> extra = {});

// The binary named by KOA_CLIENT (else the one this test was built with). The run is killed by
// SIGALRM after ten seconds so that a hanging client fails the test instead of stalling it.
ClientRun run_client(const ClientOptions& options);

}  // namespace kelvane::testing
