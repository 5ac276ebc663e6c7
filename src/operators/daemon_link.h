// The connection to the daemon's operator socket: lines out, lines back.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "support/file_descriptor.h"
#include "support/line_reader.h"
#include "support/result.h"

namespace kelvane::operators {

// Bound on one line from the daemon. A list of ten thousand waiting requests
// with their details and contexts stays far below it.
inline constexpr std::size_t kMaxDaemonLine = std::size_t{256} << 20;

// How long the daemon may stay silent while an answer is due. A socket
// systemd holds for a service that keeps failing to start accepts the
// connection and never answers: without a bound the command would wait for
// ever. The daemon answers every question at once or sends it piece by
// piece (a long history), so a minute of silence means it is not there.
inline constexpr std::chrono::milliseconds kAnswerSilence{60'000};

// Whatever keeps the command from talking to the daemon: nothing listens,
// the connection broke, or what came back is not a line of the protocol.
// The command ends with status 3 on it.
struct Unreachable {
  std::string message;
};

class DaemonLink {
 public:
  // Connects once to the operator socket at `path`; a line from the daemon
  // longer than `max_line` bytes ends the conversation.
  static Result<DaemonLink, Unreachable> connect(const std::string& path,
                                                 std::size_t max_line = kMaxDaemonLine);

  int fd() const noexcept { return fd_.get(); }

  // Sends one whole line (with its line feed), never raising SIGPIPE.
  Result<void, Unreachable> send(std::string_view line);

  // Waits for the next line from the daemon, as long as bytes keep coming
  // at least every `silence`.
  Result<std::string, Unreachable> next_line(std::chrono::milliseconds silence = kAnswerSilence);

  // For a caller that polls: one receive of what has arrived. False once the
  // daemon has closed its end.
  Result<bool, Unreachable> receive_some();
  // A line already received in full, if any; a line over the bound is an
  // error, and so is every call after it.
  Result<std::optional<std::string>, Unreachable> buffered_line();

 private:
  DaemonLink(FileDescriptor fd, std::string path, std::size_t max_line)
      : fd_(std::move(fd)), path_(std::move(path)), reader_(max_line) {}

  Unreachable broken(std::string_view what) const;
  bool speaks_within(std::chrono::milliseconds silence) const;

  FileDescriptor fd_;
  std::string path_;
  LineReader reader_;
  bool overlong_ = false;  // a line was too long: nothing after it is read
};

}  // namespace kelvane::operators
