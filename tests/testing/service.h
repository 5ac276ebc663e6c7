// Test doubles for the approval service and the file system around it.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <thread>
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

// What the fake service does with one connection.
struct Script {
  // False: close the connection as soon as it is accepted, reading nothing.
  bool read_request = true;
  // Sent one after another with a short pause between, so that each tends to
  // arrive in a receive of its own.
  std::vector<std::string> pieces;
};

// Serves one connection by its script on a thread of its own. `received`
// holds every byte the client sent before it closed its side.
class FakeService {
 public:
  FakeService(std::string path, Script script);
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  // Waits for the connection to be over and returns what the client sent.
  // Call it only once the client is done: it stops accepting connections.
  const std::string& received();
  bool accepted() const { return accepted_; }

 private:
  void serve();

  std::string path_;
  Script script_;
  int listener_ = -1;
  std::atomic<bool> accepted_ = false;
  std::string received_;
  std::thread thread_;
};

}  // namespace kelvane::testing
