// The demo approval service, driven by the real client.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/client.h"
#include "testing/service.h"

namespace kelvane::testing {
namespace {

bool is_socket(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// The demo service as a child process, stopped with SIGTERM at the end.
class Demo {
 public:
  // `env` is its whole environment; what it shows goes to `screen` if given.
  explicit Demo(std::vector<std::string> args, std::vector<std::string> env = {},
                const std::string& screen = "/dev/null") {
    args.insert(args.begin(), KOA_DEMO_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null_fd = ::open("/dev/null", O_RDWR);
      const int screen_fd = ::open(screen.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(null_fd, 0);
      ::dup2(screen_fd, 1);
      ::dup2(null_fd, 2);
      ::alarm(10);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
  }
  ~Demo() { stop(); }

  // Its exit status after SIGTERM.
  int stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = 0;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
  }

  // The exit status if it ended by itself within five seconds, else -2.
  int wait_for_exit() {
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -2;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Until something accepts connections at the path. The probe connection is
// closed at once; the service takes it for a client that sent nothing.
bool wait_for_listener(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (connected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

ClientRun ask(const std::string& socket) {
  return run_client({.args = {"--title", "Reboot", "--detail", "Kernel update", "--target-host", "web-03"},
                     .env = {"KELVANE_OPERATOR_APPROVAL_SOCK=" + socket},
                     .close_standard_descriptors = false});
}

TEST(DemoService, ApprovesWithTokenAndExpiryThenRemovesItsSocket) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  ::close(listen_on(socket));  // stale: left by a run that is gone
  Demo demo({"--socket", socket, "--auto", "approve"});
  ASSERT_TRUE(wait_for_listener(socket));
  for (int round = 0; round < 2; ++round) {  // one connection after another
    const ClientRun run = ask(socket);
    EXPECT_EQ(run.status(), 0);
    EXPECT_TRUE(std::regex_match(run.out, std::regex("[0-9a-f]{32}\n"))) << run.out;
    EXPECT_TRUE(std::regex_match(
        run.err, std::regex("kelvane operator approval: APPROVED \\(approved automatically\\)\n"
                            "kelvane operator approval: token expires at "
                            "20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z\n")))
        << run.err;
  }
  EXPECT_EQ(demo.stop(), 0);
  EXPECT_FALSE(exists(socket));
}

std::string read_file(const std::string& path) {
  std::string out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char buffer[4096];
  ssize_t n;
  while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  if (fd >= 0) ::close(fd);
  return out;
}

// A request must not be able to drive the operator's terminal: an escape
// sequence could clear the screen or hide the line that matters.
TEST(DemoService, ShowsControlCharactersInsteadOfObeyingThem) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  const std::string screen = dir.file("screen");
  Demo demo({"--socket", socket, "--auto", "deny"}, {}, screen);
  ASSERT_TRUE(wait_for_listener(socket));
  const ClientRun run = run_client(
      {.args = {"--title", "Reboot\x1b[2J", "--detail", "two\nlines\r\xC2\x9B", "--target-host", "h\x7F"},
       .env = {"KELVANE_OPERATOR_APPROVAL_SOCK=" + socket},
       .close_standard_descriptors = false});
  EXPECT_EQ(run.status(), 1);
  demo.stop();
  const std::string shown = read_file(screen);
  EXPECT_NE(shown.find("title:        Reboot\\u{1b}[2J\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("detail:       two\n                lines\\u{0d}\\u{9b}\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("target host:  h\\u{7f}\n"), std::string::npos) << shown;
  EXPECT_EQ(shown.find_first_of(std::string("\x1b\r\x7f", 3)), std::string::npos);
}

TEST(DemoService, Denies) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  Demo demo({"--socket", socket, "--auto", "deny"});
  ASSERT_TRUE(wait_for_listener(socket));
  const ClientRun run = ask(socket);
  EXPECT_EQ(run.status(), 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "kelvane operator approval: DENIED (denied automatically)\n");
}

TEST(DemoService, ListensWhereTheClientLooks) {
  TempDir dir;
  const std::string socket = dir.file("kelvane-operator-approval.sock");
  Demo demo({"--auto", "approve"}, {"XDG_RUNTIME_DIR=" + dir.path()});
  ASSERT_TRUE(wait_for_listener(socket));
  EXPECT_EQ(run_client({.args = {"--title", "t", "--detail", "d", "--target-host", "h"},
                        .env = {"XDG_RUNTIME_DIR=" + dir.path()},
                        .close_standard_descriptors = false})
                .status(),
            0);
}

TEST(DemoService, NeverReplacesWhatIsNotAStaleSocket) {
  TempDir dir;
  const std::string file = dir.file("precious");
  write_file(file, "keep me");
  Demo on_file({"--socket", file, "--auto", "approve"});
  EXPECT_EQ(on_file.wait_for_exit(), 1);
  EXPECT_FALSE(is_socket(file));

  const std::string live = dir.file("live.sock");
  FakeService other(live, {.read_request = true, .pieces = {}});
  Demo on_live({"--socket", live, "--auto", "approve"});
  EXPECT_EQ(on_live.wait_for_exit(), 1);
  EXPECT_TRUE(is_socket(live));
}

}  // namespace
}  // namespace kelvane::testing
