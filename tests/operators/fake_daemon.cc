#include "fake_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace kelvane::operators::testing {

FakeDaemon::FakeDaemon() {
  char dir[] = "/tmp/koa-approvals-test-XXXXXX";
  if (::mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
  dir_ = dir;
  path_ = dir_ + "/operators.sock";
  listener_ = FileDescriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 16) != 0) {
    throw std::runtime_error("bind/listen");
  }
}

FakeDaemon::~FakeDaemon() {
  if (thread_.joinable()) thread_.join();
  listener_.close();
  std::filesystem::remove_all(dir_);
}

void FakeDaemon::serve(std::vector<std::string> replies) {
  thread_ = std::thread([this, replies = std::move(replies)] {
    for (const std::string& reply : replies) {
      FileDescriptor connection = accept_within(listener_.get(), 10000);
      if (!connection.is_open()) return;
      received_.push_back(read_line_within(connection.get(), 10000).value_or("<none>"));
      (void)::send(connection.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    }
  });
}

std::vector<std::string> FakeDaemon::received() {
  if (thread_.joinable()) thread_.join();
  return received_;
}

FileDescriptor accept_within(int listener, int ms) {
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, ms) != 1) return FileDescriptor();
  return FileDescriptor(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

std::optional<std::string> read_line_within(int fd, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) {
      return std::nullopt;
    }
    char c;  // a byte at a time: what follows the line stays in the socket
    if (::read(fd, &c, 1) != 1) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
}

namespace {

void read_both(int out_fd, int err_fd, Ran& ran) {
  pollfd p[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&ran.out, &ran.err};
  int open = 2;
  while (open > 0) {
    if (::poll(p, 2, 20000) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      if (p[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        p[i].fd = -1;
        --open;
      }
    }
  }
}

}  // namespace

Ran run_approvals(const std::vector<std::string>& args,
                  const std::optional<std::string>& socket_variable) {
  // Everything the child needs is made before fork: the fake daemon's
  // thread may hold the allocator's lock at that moment.
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "KELVANE_OPERATOR_APPROVALS_SOCK=", 32) != 0) env_text.emplace_back(*e);
  }
  if (socket_variable) env_text.push_back("KELVANE_OPERATOR_APPROVALS_SOCK=" + *socket_variable);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(KOA_APPROVALS_PATH));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execve(KOA_APPROVALS_PATH, argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(null);
  ::close(out[1]);
  ::close(err[1]);
  Ran ran;
  read_both(out[0], err[0], ran);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return ran;
}

}  // namespace kelvane::operators::testing
