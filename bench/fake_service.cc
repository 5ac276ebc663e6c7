// A stand-in approval service for measuring: it accepts connections one
// after another for as long as it runs, reads each request line whole
// (however large), answers at once with a fixed reply and closes.
//
//   fake_service SOCKET_PATH [REPLY_FILE]
//
// Without REPLY_FILE the reply is a short approval. A reply file is sent as it
// is; it should end in a line feed.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kShortReply =
    "{\"verdict\":\"approved\",\"detail\":\"ok\",\"approvalToken\":\"tok-5f2a9c\"}\n";

std::string_view load_reply(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size == 0) return {};
  void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ,
                   MAP_PRIVATE | MAP_POPULATE, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) return {};
  return {static_cast<const char*>(p), static_cast<std::size_t>(st.st_size)};
}

// Reads until the first line feed; the bytes themselves are not kept.
bool read_request_line(int fd, std::vector<char>& buf) {
  for (;;) {
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (std::memchr(buf.data(), '\n', static_cast<std::size_t>(n)) != nullptr) return true;
  }
}

void send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: fake_service SOCKET_PATH [REPLY_FILE]\n", stderr);
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::string_view reply = kShortReply;
  if (argc > 2) {
    reply = load_reply(argv[2]);
    if (reply.empty()) {
      std::fprintf(stderr, "fake_service: cannot load %s\n", argv[2]);
      return 1;
    }
  }

  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (listener < 0 || std::strlen(argv[1]) >= sizeof addr.sun_path) return 1;
  std::strcpy(addr.sun_path, argv[1]);
  ::unlink(argv[1]);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 64) != 0) {
    std::perror("fake_service");
    return 1;
  }

  std::vector<char> buf(1 << 20);
  for (;;) {
    const int conn = ::accept(listener, nullptr, nullptr);
    if (conn < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (read_request_line(conn, buf)) send_all(conn, reply);
    ::close(conn);
  }
}
