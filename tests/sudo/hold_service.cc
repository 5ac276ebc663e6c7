// Stand-ins for the operator, for the real-sudo tests.
//   hold_service SOCKET
//     takes one request and never answers: an operator who has not decided
//     yet (Ctrl-C). Prints "request" once a whole request line has arrived
//     and "hung up" once the client has closed the connection, then ends.
//   hold_service SOCKET --record FILE [--gate]
//     approves every request, and appends each request line to FILE first.
//     With --gate, each answer waits until FILE.go exists (and removes it):
//     the test does something while the operator reads.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>

#include "testing/service.h"

namespace {

// One request line, or empty if the client hung up first.
std::string read_line(int connection) {
  std::string received;
  char buffer[4096];
  ssize_t n = 0;
  while (received.find('\n') == std::string::npos &&
         (n = ::read(connection, buffer, sizeof buffer)) > 0) {
    received.append(buffer, static_cast<std::size_t>(n));
  }
  if (received.find('\n') == std::string::npos) return {};
  return received;
}

void wait_for_gate(const std::string& gate) {
  for (int i = 0; i < 1200 && ::access(gate.c_str(), F_OK) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::unlink(gate.c_str());
}

int hold(int listener) {
  const int connection = ::accept(listener, nullptr, nullptr);
  if (connection < 0) return 1;
  if (read_line(connection).empty()) return 1;
  std::puts("request");
  std::fflush(stdout);
  char buffer[4096];
  while (::read(connection, buffer, sizeof buffer) > 0) {
  }
  std::puts("hung up");
  ::close(connection);
  return 0;
}

int record(int listener, const std::string& file, bool gated) {
  constexpr std::string_view kApproval = "{\"verdict\":\"approved\",\"detail\":\"recorded\"}\n";
  for (;;) {
    const int connection = ::accept(listener, nullptr, nullptr);
    if (connection < 0) return 1;
    const std::string line = read_line(connection);
    if (!line.empty()) {
      std::FILE* out = std::fopen(file.c_str(), "a");
      if (out == nullptr) return 1;
      std::fwrite(line.data(), 1, line.size(), out);
      std::fclose(out);
      if (gated) wait_for_gate(file + ".go");
      if (::write(connection, kApproval.data(), kApproval.size()) < 0) std::perror("write");
    }
    ::close(connection);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool recording = argc >= 4 && std::string_view(argv[2]) == "--record";
  const bool gated = argc == 5 && std::string_view(argv[4]) == "--gate";
  if (argc != 2 && !(recording && (argc == 4 || gated))) {
    std::fputs("usage: hold_service SOCKET [--record FILE [--gate]]\n", stderr);
    return 2;
  }
  const int listener = kelvane::testing::listen_on(argv[1]);
  if (listener < 0) {
    std::perror(argv[1]);
    return 1;
  }
  const int status = recording ? record(listener, argv[3], gated) : hold(listener);
  ::close(listener);
  ::unlink(argv[1]);
  return status;
}
