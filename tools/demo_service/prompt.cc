#include "prompt.h"

#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "stop.h"
#include "support/retry.h"
#include "terminal.h"

namespace kelvane::demo {
namespace {

using Clock = std::chrono::steady_clock;

enum class Client { There, Gone };

// Reads what the client sent after its request line, and tells whether it
// has hung up. A client that keeps sending is read in bounded helpings, so
// that the terminal gets its turn.
Client drain_client(int client) {
  char buffer[4096];
  for (int helping = 0; helping < 16; ++helping) {
    const ssize_t n =
        repeat_if_interrupted([&] { return ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT); });
    if (n > 0) continue;
    if (n < 0 && errno == EAGAIN) return Client::There;
    return Client::Gone;
  }
  return Client::There;
}

bool is_yes(std::string line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
    line.pop_back();
  const std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return false;
  line.erase(0, start);
  return line == "y" || line == "Y" || line == "yes" || line == "Yes" || line == "YES";
}

enum class Input { Line, More, Ended };

// Adds what standard input has to `line`.
Input read_input(std::string& line) {
  char buffer[256];
  const ssize_t n = repeat_if_interrupted([&] { return ::read(0, buffer, sizeof buffer); });
  if (n < 0 && errno == EAGAIN) return Input::More;
  if (n <= 0) return Input::Ended;
  line.append(buffer, static_cast<std::size_t>(n));
  const std::size_t end = line.find('\n');
  if (end == std::string::npos) return line.size() > 4096 ? Input::Line : Input::More;
  line.resize(end);
  return Input::Line;
}

// The time to wait for: the deadline, or the end of the quiet time if that
// comes first.
int poll_timeout(const service::Deadline& deadline, bool quiet, Clock::time_point quiet_until) {
  const int timeout = deadline.poll_timeout();
  if (!quiet) return timeout;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(quiet_until - Clock::now()).count();
  const int rest = static_cast<int>(std::max<decltype(left)>(left, 0));
  return timeout < 0 ? rest : std::min(timeout, rest);
}

}  // namespace

bool client_still_there(int client) {
  pollfd p{client, POLLIN, 0};
  if (repeat_if_interrupted([&] { return ::poll(&p, 1, 0); }) < 0) return false;
  if (p.revents == 0) return true;
  return drain_client(client) == Client::There;
}

Answer ask_operator(std::string_view question, int client, const service::Deadline& deadline,
                    std::chrono::milliseconds ignore_keys_for) {
  // A key pressed while nothing was asked must not answer this question.
  ::tcflush(0, TCIFLUSH);
  say(question);
  bool quiet = ignore_keys_for.count() > 0;
  const Clock::time_point quiet_until = Clock::now() + ignore_keys_for;
  std::string line;
  for (;;) {
    if (quiet && Clock::now() >= quiet_until) {
      // Also the start of a line typed meanwhile, which the terminal holds
      // until its line feed comes.
      ::tcflush(0, TCIFLUSH);
      line.clear();
      quiet = false;
    }
    if (g_stop) return Answer::Stopped;
    pollfd p[3] = {{0, POLLIN, 0}, {client, POLLIN, 0}, {stop_descriptor(), POLLIN, 0}};
    const int n = repeat_if_interrupted(
        [&] { return ::poll(p, 3, poll_timeout(deadline, quiet, quiet_until)); });
    if (g_stop) return Answer::Stopped;
    if (n < 0) return Answer::NoOperator;
    if (n == 0 && deadline.expired()) return Answer::TimedOut;
    if (n == 0) continue;
    if (p[1].revents != 0 && drain_client(client) == Client::Gone) return Answer::ClientLeft;
    if (p[0].revents == 0) continue;
    const Input input = read_input(line);
    if (input != Input::Ended && quiet) {
      line.clear();
      continue;
    }
    switch (input) {
      case Input::More:
        continue;
      case Input::Ended:
        return Answer::NoOperator;
      case Input::Line:
        if (!client_still_there(client)) return Answer::ClientLeft;
        return is_yes(line) ? Answer::Approve : Answer::Deny;
    }
  }
}

}  // namespace kelvane::demo
