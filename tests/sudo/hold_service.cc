// A service that takes one request and never answers: an operator who has
// not decided yet. For the real-sudo test of Ctrl-C.
//   hold_service SOCKET
// Prints "request" once a whole request line has arrived and "hung up" once
// the client has closed the connection, then ends.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "testing/service.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: hold_service SOCKET\n", stderr);
    return 2;
  }
  const int listener = kelvane::testing::listen_on(argv[1]);
  if (listener < 0) {
    std::perror(argv[1]);
    return 1;
  }
  const int connection = ::accept(listener, nullptr, nullptr);
  if (connection < 0) return 1;
  std::string received;
  char buffer[4096];
  ssize_t n = 0;
  while (received.find('\n') == std::string::npos &&
         (n = ::read(connection, buffer, sizeof buffer)) > 0) {
    received.append(buffer, static_cast<std::size_t>(n));
  }
  if (received.find('\n') == std::string::npos) return 1;
  std::puts("request");
  std::fflush(stdout);
  while ((n = ::read(connection, buffer, sizeof buffer)) > 0) {
  }
  std::puts("hung up");
  ::close(connection);
  ::close(listener);
  ::unlink(argv[1]);
  return 0;
}
