// Test doubles for the approval service and the file system around it.
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

namespace kelvane::testing {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

void write_file(const std::string& path, std::string_view bytes);
// The whole file; empty when it cannot be opened.
std::string read_file(const std::string& path);

// Entries of /proc/self/fd, minus the one used to list them.
std::size_t open_descriptor_count();

// A bound, listening Unix-domain socket; -1 with errno on failure.
int listen_on(const std::string& path);

// The one fake approval service of the unit, end-to-end and hostile tests
// and of the measuring kit.

// What it does with one connection it accepted: anything from a proper
// answer to silence. Bytes appended to `received` are what received()
// returns. The connection is closed afterwards.
using Behaviour = std::function<void(int connection, std::string& received)>;

struct ServiceSetup {
  ServiceSetup(std::string socket_path, Behaviour serve)
      : path(std::move(socket_path)), behaviour(std::move(serve)) {}

  std::string path;
  Behaviour behaviour;
  // Connections served, one after another; 0 for every one until the
  // service is stopped.
  std::size_t connections = 1;
  // Served by a child process whose credentials are this uid from before it
  // listens, which is what a client's SO_PEERCRED sees (needs root): the
  // stranger who bound the path first, or a service under a user of its
  // own. Otherwise by a thread of this process.
  std::optional<uid_t> as_uid;
  int backlog = 4;
  // A client that never comes must not hold a test for ever; nullopt waits
  // as long as the service runs.
  std::optional<std::chrono::milliseconds> accept_limit = std::chrono::seconds(120);
};

// What a scripted service does with its one connection.
struct Script {
  // False: close the connection as soon as it is accepted, reading nothing.
  bool read_request = true;
  // Sent one after another with a short pause between, so that each tends to
  // arrive in a receive of its own.
  std::vector<std::string> pieces;
};

// Reads up to the first line feed (recorded), sends the script's pieces,
// then records whatever else the client sends before it closes; reading it
// all also keeps our close from resetting the connection.
Behaviour scripted(Script script);
// Reads up to the receive that holds the first line feed (recorded only
// with `record`), then sends `reply` whole.
Behaviour reply_after_line(std::string reply, bool record = true);

class FakeService {
 public:
  // Listening on the path before the constructor returns.
  explicit FakeService(ServiceSetup setup);
  // One connection served by the script, on a thread.
  FakeService(std::string path, Script script);
  ~FakeService();  // stop()
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  const std::string& path() const { return path_; }
  // Stops accepting (a connection not accepted by now never will be), waits
  // for the one being served, and returns every byte the behaviour
  // recorded. Call it once the client is done.
  const std::string& received();
  // Whether a connection was accepted; for a child process, known once
  // received() has returned.
  bool accepted() const { return accepted_; }
  // Until stopped from elsewhere (a signal ends the kit's program).
  void serve_forever();

 private:
  void serve_connections(std::string& received);
  void stop();

  std::string path_;
  ServiceSetup setup_;
  int listener_ = -1;
  std::atomic<bool> accepted_ = false;
  std::string received_;
  std::thread thread_;
  pid_t child_ = -1;
  int from_child_ = -1;
  bool stopped_ = false;
};

}  // namespace kelvane::testing
