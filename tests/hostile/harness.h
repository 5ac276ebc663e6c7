// Running the real client binary against services that misbehave on purpose.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "testing/service.h"

namespace kelvane::hostile {

// A fresh directory under /tmp, removed with everything in it at the end.
using ScratchDir = testing::TempDir;

// Writes `chunk` `times` times, so that large files cost no large buffer.
void write_repeated(const std::string& path, std::string_view head, std::string_view chunk,
                    std::size_t times, std::string_view tail);

// Sends all bytes; false once the peer is gone. Never raises SIGPIPE.
bool send_all(int fd, std::string_view bytes);
// Sends `chunk` `times` times; false once the peer is gone.
bool send_repeated(int fd, std::string_view chunk, std::size_t times);
// Reads up to and including the first line feed, or to the end of the
// stream. Keeps at most `keep` bytes of it; returns the full length read.
std::size_t read_request_line(int fd, std::string* kept = nullptr, std::size_t keep = 4096);
// Waits until the peer has closed its side or `limit` has passed.
void wait_for_hangup(int fd, std::chrono::milliseconds limit);

// The fake approval service on a socket of the scratch directory: accepts
// one connection and hands it to `behaviour` on a thread of its own.
class Service : public testing::FakeService {
 public:
  using Behaviour = std::function<void(int connection)>;

  Service(const ScratchDir& dir, Behaviour behaviour)
      : FakeService(testing::ServiceSetup(
            dir.file("s.sock"), [behaviour = std::move(behaviour)](int connection, std::string&) {
              behaviour(connection);
            })) {}

  const std::string& socket_path() const { return path(); }
  // Waits for the behaviour to finish.
  void join() { (void)received(); }
};

struct RunOptions {
  RunOptions(std::vector<std::string> arguments, std::string socket = {})
      : args(std::move(arguments)), socket_path(std::move(socket)) {}

  std::vector<std::string> args;
  std::string socket_path;                         // empty: the variable is left unset
  std::optional<std::size_t> address_space_limit;  // RLIMIT_AS of the client
  bool close_standard_descriptors = false;
  bool empty_argument_vector = false;  // not even a program name (argc 0)
  std::chrono::milliseconds time_limit{std::chrono::seconds(60)};
};

// How a run of the client ended. Output is kept whole up to 1 MiB; beyond,
// only its first and last 4 KiB are kept and `err_size` tells the rest.
struct RunResult {
  int status = -1;         // exit status, if it exited
  int signal = 0;          // the signal that ended it, if any
  bool timed_out = false;  // killed by us at the time limit
  std::string out;
  std::string err;
  std::string err_tail;
  std::size_t err_size = 0;
  std::chrono::milliseconds elapsed{};
};

// Runs KOA_CLIENT (by default the client this test was built with) with the
// arguments. With `on_started`, the test can act
// while the client runs; returning true from it kills the client at once.
RunResult run_client(const RunOptions& options,
                     const std::function<bool(pid_t)>& on_started = nullptr);

// True when KOA_VALGRIND is set: the client runs under valgrind (through the
// KOA_CLIENT wrapper), slowly, and cannot take an address-space limit.
bool under_valgrind();
// True when the client was built with AddressSanitizer, which reserves more
// address space than any useful limit allows.
bool client_has_asan();
// True in the slow preset, or when KOA_SLOW_TESTS is set in the
// environment: the tests use their full sizes.
bool slow_tests();

}  // namespace kelvane::hostile
