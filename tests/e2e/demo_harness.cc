#include "e2e/demo_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace kelvane::testing {
namespace {

int exit_status(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

// Polls `done` every 10 ms until it holds or `limit` has passed.
template <class Done>
bool eventually(Done done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(10ms);
  }
}

// Runs in a forked child of a process that may have threads: only
// async-signal-safe calls until exec. Without `background` it execs at once;
// with it, the program runs in a new process group, away from the
// terminal's foreground, and this process passes on its exit status.
[[noreturn]] void exec_child(char** argv, char** envp, int log_fd, bool background) {
  ::dup2(log_fd, 2);
  ::alarm(60);  // a service left running by a crashed test ends by itself
  if (background) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::setpgid(0, 0);
      ::execve(argv[0], argv, envp);
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
  }
  ::execve(argv[0], argv, envp);
  ::_exit(127);
}

}  // namespace

std::string demo_path() {
  const char* path = std::getenv("KOA_DEMO");
  return path != nullptr ? path : KOA_DEMO_PATH;
}

std::string read_whole_file(const std::string& path) {
  return read_file(path);
}

DemoRun::DemoRun(Setup setup) {
  std::vector<std::string> args = std::move(setup.args);
  args.insert(args.begin(), demo_path());
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(setup.env);
  const int log_fd =
      ::open(dir_.file("log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int screen_fd =
      ::open(dir_.file("screen").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (log_fd < 0 || screen_fd < 0 || null_fd < 0)
    throw std::runtime_error("cannot open the demo's files");
  if (setup.terminal) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) exec_child(argv.data(), envp.data(), log_fd, setup.background);
  } else {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(null_fd, 0);
      ::dup2(screen_fd, 1);
      if (setup.closed_input_and_output) {
        ::close(0);
        ::close(1);
      }
      exec_child(argv.data(), envp.data(), log_fd, false);
    }
  }
  ::close(log_fd);
  ::close(screen_fd);
  ::close(null_fd);
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (setup.terminal) reader_ = std::thread([this] { read_terminal(); });
}

DemoRun::~DemoRun() {
  stop();
  if (reader_.joinable()) {
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    reader_.join();
  }
  for (const int fd : {master_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

// The terminal's output must be read as it comes: a full terminal would
// stop the service in the middle of a write.
void DemoRun::read_terminal() {
  char buffer[4096];
  for (;;) {
    pollfd p[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
    if (p[1].revents != 0) return;
    if (p[0].revents == 0) continue;
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // EIO: the service has closed the terminal
    const std::lock_guard lock(mutex_);
    terminal_output_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::chrono::milliseconds DemoRun::cpu_time() const {
  // Fields 14 and 15 of /proc/PID/stat, after the name in parentheses.
  const std::string stat = read_whole_file("/proc/" + std::to_string(pid_) + "/stat");
  const std::size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return {};
  std::istringstream fields(stat.substr(name_end + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stoull(field);
  }
  return std::chrono::milliseconds(ticks * 1000 /
                                   static_cast<unsigned long long>(::sysconf(_SC_CLK_TCK)));
}

std::string DemoRun::screen() {
  if (master_ < 0) return read_whole_file(dir_.file("screen"));
  const std::lock_guard lock(mutex_);
  return terminal_output_;
}

std::string DemoRun::log() {
  return read_whole_file(dir_.file("log"));
}

bool DemoRun::wait_for_screen(std::string_view text, std::chrono::milliseconds limit) {
  return eventually([&] { return screen().find(text) != std::string::npos; }, limit);
}

bool DemoRun::wait_for_log(std::string_view text, std::chrono::milliseconds limit) {
  return eventually([&] { return log().find(text) != std::string::npos; }, limit);
}

void DemoRun::type(std::string_view keys) {
  if (master_ < 0) throw std::logic_error("the demo has no terminal to type on");
  (void)!::write(master_, keys.data(), keys.size());
}

void DemoRun::signal(int number) {
  if (!status_ && pid_ > 0) ::kill(pid_, number);
}

int DemoRun::stop() {
  if (status_) return *status_;
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = exit_status(status);
  return *status_;
}

std::optional<int> DemoRun::wait_for_exit(std::chrono::milliseconds limit) {
  if (status_) return status_;
  eventually(
      [&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = exit_status(status);
        return true;
      },
      limit);
  return status_;
}

ClientProcess::ClientProcess(const ClientOptions& options) {
  const char* client = std::getenv("KOA_CLIENT");
  std::vector<std::string> args = options.args;
  args.insert(args.begin(), client != nullptr ? client : KOA_CLIENT_PATH);
  std::vector<std::string> env = options.env;
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(env);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = ::open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = ::open(dir_.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (in < 0 || out < 0 || err < 0) throw std::runtime_error("cannot open the client's files");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::alarm(30);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in);
  ::close(out);
  ::close(err);
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

ClientProcess::~ClientProcess() {
  kill();
}

std::optional<ClientRun> ClientProcess::wait(std::chrono::milliseconds limit) {
  if (run_) return run_;
  eventually(
      [&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        ClientRun run;
        run.wait_status = status;
        run.out = read_whole_file(dir_.file("out"));
        run.err = read_whole_file(dir_.file("err"));
        run_ = std::move(run);
        return true;
      },
      limit);
  return run_;
}

void ClientProcess::kill() {
  if (run_ || pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  wait(10s);
}

std::string raw_exchange(const std::string& socket, std::string_view bytes, bool end_stream,
                         std::chrono::milliseconds limit) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socket.copy(address.sun_path, sizeof address.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    return "(no connection)";
  }
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (end_stream) ::shutdown(fd, SHUT_WR);
  std::string received;
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return received;
}

}  // namespace kelvane::testing
