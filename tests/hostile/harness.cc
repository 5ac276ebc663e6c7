#include "hostile/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace kelvane::hostile {
namespace {

constexpr std::size_t kKeepWhole = 1 << 20;
constexpr std::size_t kKeepEnds = 4096;

[[noreturn]] void die(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string read_range(int fd, off_t offset, std::size_t length) {
  std::string bytes(length, '\0');
  const ssize_t n = ::pread(fd, bytes.data(), length, offset);
  bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return bytes;
}

// Fills the output fields from a captured file.
void take_output(const std::string& path, std::string& whole, std::string* tail,
                 std::size_t* size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("open " + path);
  struct stat st {};
  ::fstat(fd, &st);
  const auto length = static_cast<std::size_t>(st.st_size);
  if (size != nullptr) *size = length;
  if (length <= kKeepWhole || tail == nullptr) {
    whole = read_range(fd, 0, length);
  } else {
    whole = read_range(fd, 0, kKeepEnds);
    *tail = read_range(fd, static_cast<off_t>(length - kKeepEnds), kKeepEnds);
  }
  ::close(fd);
}

std::vector<std::string> client_environment(const RunOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("KELVANE_OPERATOR_APPROVAL_SOCK=") || entry.starts_with("HOSTNAME=") ||
        entry.starts_with("XDG_RUNTIME_DIR=")) {
      continue;
    }
    env.emplace_back(entry);
  }
  if (!options.socket_path.empty())
    env.push_back("KELVANE_OPERATOR_APPROVAL_SOCK=" + options.socket_path);
  return env;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_client(const RunOptions& options, const char* client, int out_fd, int err_fd,
                              char* const* argv, char* const* envp) {
  if (options.close_standard_descriptors) {
    ::close(0);
    ::close(1);
    ::close(2);
  } else {
    const int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
  }
  // Nothing of the test process may leak into the client.
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  if (options.address_space_limit) {
    const rlimit limit{*options.address_space_limit, *options.address_space_limit};
    ::setrlimit(RLIMIT_AS, &limit);
  }
  ::execve(client, argv, envp);
  ::_exit(127);
}

}  // namespace

void write_repeated(const std::string& path, std::string_view head, std::string_view chunk,
                    std::size_t times, std::string_view tail) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) die("create " + path);
  const auto put = [&](std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd, bytes.data(), bytes.size());
      if (n <= 0) die("write " + path);
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  };
  put(head);
  for (std::size_t i = 0; i < times; ++i) put(chunk);
  put(tail);
  ::close(fd);
}

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool send_repeated(int fd, std::string_view chunk, std::size_t times) {
  for (std::size_t i = 0; i < times; ++i) {
    if (!send_all(fd, chunk)) return false;
  }
  return true;
}

std::size_t read_request_line(int fd, std::string* kept, std::size_t keep) {
  std::size_t total = 0;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return total;
    const std::string_view got(buffer, static_cast<std::size_t>(n));
    // The client sends one line and then waits, so nothing follows its line
    // feed in the same receive.
    if (kept != nullptr && kept->size() < keep) kept->append(got.substr(0, keep - kept->size()));
    total += got.size();
    if (got.back() == '\n') return total;
  }
}

void wait_for_hangup(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLRDHUP, 0};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return;
    if (ready > 0 && (p.revents & POLLIN) != 0) {
      // Unread request bytes are of no interest here; drop them.
      char sink[65536];
      if (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) == 0) return;
    }
  }
}

RunResult run_client(const RunOptions& options, const std::function<bool(pid_t)>& on_started) {
  const char* client = std::getenv("KOA_CLIENT");
  if (client == nullptr) client = KOA_CLIENT_PATH;

  ScratchDir capture;
  const std::string out_path = capture.file("out");
  const std::string err_path = capture.file("err");
  const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out_fd < 0 || err_fd < 0) die("capture files");

  // Everything the child needs is built before fork.
  std::vector<std::string> arg_strings{client};
  arg_strings.insert(arg_strings.end(), options.args.begin(), options.args.end());
  const std::vector<std::string> env_strings = client_environment(options);
  std::vector<char*> argv;
  if (!options.empty_argument_vector) {
    for (std::string& a : arg_strings) argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) exec_client(options, client, out_fd, err_fd, argv.data(), envp.data());
  ::close(out_fd);
  ::close(err_fd);

  RunResult result;
  bool kill_now = on_started ? on_started(pid) : false;
  const auto deadline = started + options.time_limit;
  int wait_status = 0;
  while (true) {
    const pid_t done = ::waitpid(pid, &wait_status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) die("waitpid");
    if (kill_now || std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = !kill_now;
      ::kill(pid, SIGKILL);
      kill_now = false;
      while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  take_output(out_path, result.out, nullptr, nullptr);
  take_output(err_path, result.err, &result.err_tail, &result.err_size);
  return result;
}

bool under_valgrind() {
  return std::getenv("KOA_VALGRIND") != nullptr;
}

bool client_has_asan() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

bool slow_tests() {
#ifdef KOA_SLOW_TESTS
  return true;
#else
  return std::getenv("KOA_SLOW_TESTS") != nullptr;
#endif
}

}  // namespace kelvane::hostile
