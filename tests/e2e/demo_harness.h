// The demo service and the client run as an operator and a script would run
// them: the service on a pseudo-terminal or with its output in a file, the
// client in the background while the test plays the operator.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "e2e/client.h"
#include "testing/service.h"

namespace kelvane::testing {

using namespace std::chrono_literals;

// KOA_DEMO (to try the tests on another build) or the one built with them.
std::string demo_path();

class DemoRun {
 public:
  struct Setup {
    std::vector<std::string> args;  // without the program name
    std::vector<std::string> env;   // the whole environment
    // On a pseudo-terminal: it is standard input and output, and the
    // service's controlling terminal. Otherwise standard input is /dev/null
    // and standard output a file. Standard error (the log) is always a file.
    bool terminal = false;
    // On the terminal, but in a process group of its own, not the
    // foreground one.
    bool background = false;
    // Not on a terminal, with standard input and output closed (`<&- >&-`).
    bool closed_input_and_output = false;
  };

  explicit DemoRun(Setup setup);
  ~DemoRun();
  DemoRun(const DemoRun&) = delete;
  DemoRun& operator=(const DemoRun&) = delete;

  pid_t pid() const { return pid_; }
  // Processor time used so far (user and system), from /proc.
  std::chrono::milliseconds cpu_time() const;
  // Everything written to standard output (the screen) / standard error so
  // far.
  std::string screen();
  std::string log();
  // True once `text` has appeared there, within `limit`.
  bool wait_for_screen(std::string_view text, std::chrono::milliseconds limit = 10s);
  bool wait_for_log(std::string_view text, std::chrono::milliseconds limit = 10s);
  // Until the readiness line is out.
  bool wait_until_ready() { return wait_for_screen(": listening on "); }
  // Keys typed on the terminal.
  void type(std::string_view keys);

  // SIGTERM, then the exit status (-1 for a signal).
  int stop();
  void signal(int number);
  // The exit status once it has ended by itself, or nullopt after `limit`.
  std::optional<int> wait_for_exit(std::chrono::milliseconds limit = 10s);

 private:
  void read_terminal();

  TempDir dir_;
  pid_t pid_ = -1;
  int master_ = -1;
  int wake_[2] = {-1, -1};
  std::thread reader_;
  std::mutex mutex_;
  std::string terminal_output_;
  std::optional<int> status_;
};

// The client started in the background.
class ClientProcess {
 public:
  explicit ClientProcess(const ClientOptions& options);
  ~ClientProcess();
  ClientProcess(const ClientProcess&) = delete;
  ClientProcess& operator=(const ClientProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Its run once it has ended, or nullopt if it is still running after
  // `limit`.
  std::optional<ClientRun> wait(std::chrono::milliseconds limit = 10s);
  void kill();

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  std::optional<ClientRun> run_;
};

// Connects to `socket`, sends `bytes` (then shuts down the sending side if
// `end_stream`), and returns everything received until the service closes
// or `limit` passes.
std::string raw_exchange(const std::string& socket, std::string_view bytes, bool end_stream = false,
                         std::chrono::milliseconds limit = 15s);

// The whole file, or empty.
std::string read_whole_file(const std::string& path);

}  // namespace kelvane::testing
