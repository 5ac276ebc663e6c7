// The whole-process peers for --context-file: read the file, re-encode it
// with a peer library (sorted keys, compact), put it in the request line,
// send it to the service and read the reply line, as the client does.
//
//   peer_rapidjson FILE      peer_simdjson FILE
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "peers.h"

namespace {

constexpr std::string_view kMembers =
    "{\"id\":\"\",\"title\":\"Reboot\",\"detail\":\"Kernel update\",\"action\":\"admin_operation\","
    "\"requester\":\"cli\",\"sourceHost\":\"unknown\",\"targetHost\":\"web-03\",\"context\":";

bool read_file(const char* path, std::string& text, std::size_t padding) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  text.resize(static_cast<std::size_t>(st.st_size) + padding);
  std::size_t n = 0;
  while (n < static_cast<std::size_t>(st.st_size)) {
    const ssize_t r = ::read(fd, text.data() + n, static_cast<std::size_t>(st.st_size) - n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    n += static_cast<std::size_t>(r);
  }
  ::close(fd);
  text.resize(n + padding);
  return true;
}

bool exchange(std::string_view request) {
  const char* path = std::getenv("KELVANE_OPERATOR_APPROVAL_SOCK");
  if (!path || !*path) path = "/tmp/kelvane-operator-approval.sock";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::size_t len = std::strlen(path);
  if (fd < 0 || len >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path, len);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr),
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + 1)) != 0)
    return false;
  while (!request.empty()) {
    const ssize_t n = ::send(fd, request.data(), request.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    request.remove_prefix(static_cast<std::size_t>(n));
  }
  std::string line;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const void* nl = std::memchr(buf, '\n', static_cast<std::size_t>(n));
    line.append(buf, static_cast<std::size_t>(nl ? static_cast<const char*>(nl) - buf + 1 : n));
    if (nl) break;
  }
  ::close(fd);
  return !line.empty();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string text;
#if defined(PEER_RAPIDJSON)
  if (!read_file(argv[1], text, 0)) return 2;
  rapidjson::StringBuffer buf;
  buf.Reserve(kMembers.size() + text.size() + 2);
  peers::rj::append(buf, kMembers);
  if (!peers::rj::reencode(text, buf)) return 2;
  std::string().swap(text);
  peers::rj::append(buf, "}\n");
  const std::string_view request(buf.GetString(), buf.GetSize());
#else
  std::string request(kMembers);
  if (!read_file(argv[1], text, simdjson::SIMDJSON_PADDING)) return 2;
  request.reserve(kMembers.size() + text.size() + 2);
  simdjson::dom::parser parser;
  if (!peers::sj::reencode(parser, {text.data(), text.size() - simdjson::SIMDJSON_PADDING},
                           request))
    return 2;
  std::string().swap(text);
  request += "}\n";
#endif
  if (!exchange(request)) return 3;
  static constexpr char kVerdict[] = "kelvane operator approval: APPROVED (ok)\n";
  (void)!::write(2, kVerdict, sizeof kVerdict - 1);
  return 0;
}
