// kelvane-operator-approval-demo: a small approval service to try the client
// with. It shows each request on its terminal and answers with the operator's
// verdict (or, with --auto, a fixed one). Not meant to guard real operations.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "approval/connection.h"
#include "options.h"
#include "serve.h"
#include "service/listener.h"
#include "stop.h"
#include "support/file_descriptor.h"
#include "support/standard_descriptors.h"
#include "terminal.h"

namespace kelvane::demo {
namespace {

using service::Listener;

constexpr std::string_view kName = "kelvane-operator-approval-demo";

std::string_view mode_text(Mode mode) {
  switch (mode) {
    case Mode::Ask:
      return "asking the operator";
    case Mode::Approve:
      return "approving everything";
    case Mode::Deny:
      return "denying everything";
  }
  return "";
}

int usage_error(const std::string& why) {
  complain(std::string(kName) + ": " + why + "\n" + std::string(kUsage));
  return 2;
}

// Accepts one connection after another until stopped (or, with --once,
// until one request has been answered).
void serve_all(const Listener& listener, const Options& options) {
  Session session;
  while (wait_readable(listener.fd())) {
    const FileDescriptor connection(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.is_open()) {
      // Out of descriptors or memory: the connection stays queued, so wait
      // a little rather than spin on it.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    const Served served = serve_connection(connection.get(), options.mode, session);
    if (options.once && served == Served::Request) return;
  }
  complain(std::string(kName) + ": stopped\n");
}

int serve(const Options& options) {
  if (options.mode == Mode::Ask) {
    if (auto problem = operator_terminal_problem()) {
      complain(std::string(kName) + ": cannot ask an operator: " + *problem +
               "; use --auto approve or --auto deny to answer without one\n");
      return 1;
    }
  }
  install_stop_handlers();
  const std::string path =
      options.socket ? *options.socket : approval::resolve_socket_path(approval::process_env);
  Result<Listener, std::string> listener = Listener::open(path);
  if (!listener.ok()) {
    complain(std::string(kName) + ": " + listener.error() + "\n");
    return 1;
  }
  // The readiness line: scripts wait for it before they send requests.
  say(std::string(kName) + ": listening on " + path + " (" + std::string(mode_text(options.mode)) +
      ")\n");
  serve_all(listener.value(), options);
  return 0;
}

int run(int argc, char** argv) {
  auto options = parse_options(argc, argv);
  if (!options.ok()) return usage_error(options.error());
  switch (options.value().command) {
    case Command::Help:
      say(kUsage);
      return 0;
    case Command::Version:
      say(std::string(kName) + " " KOA_VERSION "\n");
      return 0;
    case Command::Serve:
      break;
  }
  return serve(options.value());
}

}  // namespace
}  // namespace kelvane::demo

int main(int argc, char** argv) {
  // Before anything else is opened: a closed standard descriptor would
  // otherwise be the stop pipe's or the socket's number, and the screen
  // written into it.
  if (!kelvane::open_closed_standard_descriptors().ok()) return 1;
  return kelvane::demo::run(argc, argv);
}
