// kelvane-operator-approval-demo: a small approval service to try the client
// with. It shows each request on its terminal and answers with the operator's
// verdict (or, with --auto, a fixed one). Not meant to guard real operations.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "answer.h"
#include "approval/connection.h"
#include "json/reader.h"
#include "listener.h"
#include "stop.h"
#include "terminal.h"

namespace kelvane::demo {
namespace {

constexpr std::string_view kUsage =
    "usage: kelvane-operator-approval-demo [--socket PATH] [--auto approve|deny]\n";
constexpr std::size_t kMaxRequest = 1 << 20;
constexpr int kRequestWaitMs = 10000;

enum class Auto { Ask, Approve, Deny };

struct Options {
  std::optional<std::string> socket;
  Auto mode = Auto::Ask;
};

std::optional<Options> parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--socket" && has_value) {
      options.socket = argv[++i];
    } else if (arg == "--auto" && has_value && std::string_view(argv[i + 1]) == "approve") {
      options.mode = Auto::Approve;
      ++i;
    } else if (arg == "--auto" && has_value && std::string_view(argv[i + 1]) == "deny") {
      options.mode = Auto::Deny;
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

// One line from the client, without its line feed; nullopt if none came.
std::optional<std::string> read_request(int fd) {
  std::string line;
  char buffer[4096];
  while (line.size() <= kMaxRequest) {
    if (!wait_readable(fd, kRequestWaitMs)) return std::nullopt;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    line.append(buffer, static_cast<std::size_t>(n));
    const std::size_t end = line.find('\n');
    if (end != std::string::npos) {
      line.resize(end);
      return line;
    }
  }
  return std::nullopt;
}

std::string decide(const json::Value& request, Auto mode) {
  say(describe_request(request));
  const bool asked = mode == Auto::Ask;
  const bool approve = asked ? ask_operator("Approve this operation? [y/N] ") : mode == Auto::Approve;
  if (g_stop) {
    say("  -> denied: the service is stopping\n");
    return decision_line("denied", "the approval service was stopped");
  }
  if (!approve) {
    say("  -> denied\n");
    return decision_line("denied", asked ? "denied by the operator" : "denied automatically");
  }
  const std::string token = random_token();
  if (token.empty()) {
    say("  -> denied: no random token could be made\n");
    return decision_line("denied", "no random token could be made");
  }
  const std::string expires_at = iso8601_utc(std::time(nullptr) + kTokenLifetime);
  say("  -> approved; the token expires at " + expires_at + "\n");
  return decision_line("approved", asked ? "approved by the operator" : "approved automatically", token,
                       expires_at);
}

void serve(int connection, Auto mode) {
  const std::optional<std::string> line = read_request(connection);
  if (!line) {
    complain("kelvane-operator-approval-demo: a client sent no request line\n");
    return;
  }
  std::string reply;
  auto request = json::parse_value(*line);
  if (!request.ok()) {
    reply = decision_line("invalid_request", "not a JSON request: " + request.error().to_string());
  } else if (request.value().kind() != json::Value::Kind::Object) {
    reply = decision_line("invalid_request", "the request is not a JSON object");
  } else {
    reply = decide(request.value(), mode);
  }
  if (!approval::write_all(connection, reply).ok()) {
    complain("kelvane-operator-approval-demo: the client left before the answer\n");
  }
}

int run(int argc, char** argv) {
  const std::optional<Options> options = parse_options(argc, argv);
  if (!options) {
    complain(kUsage);
    return 2;
  }
  install_stop_handlers();
  const std::string path =
      options->socket ? *options->socket : approval::resolve_socket_path(approval::process_env);

  Listener listener;
  std::string error;
  if (!Listener::open(path, listener, error)) {
    complain("kelvane-operator-approval-demo: " + error + "\n");
    return 1;
  }
  const char* mode = options->mode == Auto::Ask       ? "asking the operator"
                     : options->mode == Auto::Approve ? "approving everything"
                                                      : "denying everything";
  complain(std::string("kelvane-operator-approval-demo: listening on ") + path + " (" + mode +
           "); Ctrl-C stops\n");

  while (wait_readable(listener.fd(), -1)) {
    const int connection = ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    serve(connection, options->mode);
    ::close(connection);
  }
  complain("kelvane-operator-approval-demo: stopped\n");
  return 0;
}

}  // namespace
}  // namespace kelvane::demo

int main(int argc, char** argv) { return kelvane::demo::run(argc, argv); }
