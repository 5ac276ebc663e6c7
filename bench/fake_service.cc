// A stand-in approval service for measuring: it accepts connections one
// after another for as long as it runs, reads each request line whole
// (however large), answers at once with a fixed reply and closes. The same
// fake service as the tests', serving every connection.
//
//   fake_service SOCKET_PATH [REPLY_FILE]
//
// Without REPLY_FILE the reply is a short approval. A reply file is sent as it
// is; it should end in a line feed.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "testing/service.h"

namespace {

constexpr const char* kShortReply =
    "{\"verdict\":\"approved\",\"detail\":\"ok\",\"approvalToken\":\"tok-5f2a9c\"}\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: fake_service SOCKET_PATH [REPLY_FILE]\n", stderr);
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::string reply = kShortReply;
  if (argc > 2) {
    reply = kelvane::testing::read_file(argv[2]);
    if (reply.empty()) {
      std::fprintf(stderr, "fake_service: cannot load %s\n", argv[2]);
      return 1;
    }
  }
  ::unlink(argv[1]);
  try {
    kelvane::testing::ServiceSetup setup(
        argv[1], kelvane::testing::reply_after_line(std::move(reply), /*record=*/false));
    setup.connections = 0;
    setup.backlog = 64;
    setup.accept_limit = std::nullopt;
    kelvane::testing::FakeService service(std::move(setup));
    service.serve_forever();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fake_service: %s\n", e.what());
    return 1;
  }
  return 1;
}
