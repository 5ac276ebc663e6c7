#include "operators/daemon_link.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "approval/connection.h"
#include "support/quoting.h"
#include "support/retry.h"

namespace kelvane::operators {

Result<DaemonLink, Unreachable> DaemonLink::connect(const std::string& path, std::size_t max_line) {
  Result<FileDescriptor, io::Error> connected = approval::connect_unix_stream(path);
  if (!connected.ok()) {
    std::string message = "cannot reach the approval daemon at " + quoted(path) + ": " +
                          connected.error().to_string();
    if (connected.error().os_code() == EACCES) {
      message += "; operators connect as members of the group kelvane-approvers";
    }
    return fail(Unreachable{std::move(message)});
  }
  return DaemonLink(std::move(connected).value(), path, max_line);
}

Unreachable DaemonLink::broken(std::string_view what) const {
  return Unreachable{"the approval daemon at " + quoted(path_) + " " + std::string(what)};
}

Result<void, Unreachable> DaemonLink::send(std::string_view line) {
  Result<void, io::Error> sent = approval::write_all(fd_.get(), line);
  if (!sent.ok()) return fail(broken("cannot be written to: " + sent.error().to_string()));
  return {};
}

Result<bool, Unreachable> DaemonLink::receive_some() {
  char buffer[65536];
  const ssize_t n =
      repeat_if_interrupted([&] { return ::recv(fd_.get(), buffer, sizeof buffer, 0); });
  if (n < 0) return fail(broken("broke the connection: " + io::os_error_text(errno)));
  if (n == 0) return false;
  reader_.hold(std::string_view(buffer, static_cast<std::size_t>(n)));
  return true;
}

Result<std::optional<std::string>, Unreachable> DaemonLink::buffered_line() {
  while (!overlong_) {
    switch (reader_.next()) {
      case LineReader::Event::Line:
        return std::optional<std::string>(reader_.take_line());
      case LineReader::Event::TooLong:
        overlong_ = true;
        break;
      case LineReader::Event::NeedMore:
        if (reader_.held() == 0) return std::optional<std::string>();
        break;
    }
  }
  return fail(broken("sent a line longer than this command takes"));
}

// True once the daemon sent something (or hung up) within `silence`.
bool DaemonLink::speaks_within(std::chrono::milliseconds silence) const {
  pollfd p{fd_.get(), POLLIN, 0};
  const int timeout = static_cast<int>(std::min<std::int64_t>(silence.count(), INT32_MAX));
  // An interruption restarts the wait: a stop signal ends the command anyway.
  return repeat_if_interrupted([&] { return ::poll(&p, 1, timeout); }) != 0;
}

Result<std::string, Unreachable> DaemonLink::next_line(std::chrono::milliseconds silence) {
  for (;;) {
    Result<std::optional<std::string>, Unreachable> line = buffered_line();
    if (!line.ok()) return fail(std::move(line).error());
    if (line.value()) return std::move(*line.value());
    if (!speaks_within(silence)) {
      return fail(broken("gave no answer in " + std::to_string(silence.count() / 1000) +
                         " s (is the service failing to start? see journalctl -u "
                         "kelvane-operator-approvald)"));
    }
    Result<bool, Unreachable> received = receive_some();
    if (!received.ok()) return fail(std::move(received).error());
    if (!received.value()) return fail(broken("closed the connection without an answer"));
  }
}

}  // namespace kelvane::operators
