#include "notifier.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <optional>

#include "support/file_descriptor.h"
#include "support/group_list.h"
#include "support/quoting.h"
#include "support/result.h"
#include "support/retry.h"

namespace kelvane::approvald {
namespace {

// Output kept for the log, per stream; the rest is read and counted.
constexpr std::size_t kKeptOutput = 4096;
constexpr int kPollStep = 100;  // ms, how often `stop` is looked at

using Clock = std::chrono::steady_clock;

struct Account {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  std::string home;
};

// The user and its groups, looked up before the fork: the child may only
// make system calls (the daemon has threads), so initgroups' work is done
// here and the child sets the result with setgroups. The text of an error
// says why the command is not run.
Result<Account, std::string> account_of(const std::string& name) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(65536);
  if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return fail("notify_user \"" + name + "\" does not exist");
  Account account{found->pw_uid, found->pw_gid, {}, found->pw_dir};
  auto groups = group_list(name, account.gid);
  if (!groups.ok()) return fail(groups.error());
  account.groups = std::move(groups).value();
  if (account.groups.empty()) account.groups.push_back(account.gid);
  return account;
}

struct Pipe {
  FileDescriptor read;
  FileDescriptor write;
};

std::optional<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pipe{FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

// In the child: only system calls from here to exec.
[[noreturn]] void become_command(const Account& account, int in, int out, int err,
                                 char* const* argv, char* const* env) {
  (void)::setsid();  // a process group of its own, killed as a whole
  if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
  (void)::close_range(3, ~0U, 0);
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (const int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) ::signal(signal, SIG_DFL);
  if (::setgroups(account.groups.size(), account.groups.data()) != 0 ||
      ::setgid(account.gid) != 0 || ::setuid(account.uid) != 0)
    ::_exit(126);
  if (account.uid != 0 && ::setuid(0) == 0) ::_exit(126);  // the change must hold
  if (::chdir("/") != 0) ::_exit(126);
  ::execve(argv[0], argv, env);
  ::_exit(127);
}

struct Stream {
  FileDescriptor fd;
  std::string kept;
  std::size_t dropped = 0;
};

// Reads what is there; false at the end.
bool drain(Stream& stream) {
  char buffer[4096];
  for (;;) {
    const ssize_t n =
        repeat_if_interrupted([&] { return ::read(stream.fd.get(), buffer, sizeof buffer); });
    if (n < 0 && errno == EAGAIN) return true;
    if (n <= 0) {
      stream.fd.close();
      return false;
    }
    const std::size_t room = kKeptOutput - std::min(kKeptOutput, stream.kept.size());
    const auto size = static_cast<std::size_t>(n);
    stream.kept.append(buffer, std::min(room, size));
    stream.dropped += size - std::min(room, size);
  }
}

std::string outcome_text(int status, bool killed) {
  if (killed) return "was killed at its time limit";
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was ended by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

void append_output(std::string& line, std::string_view name, const Stream& stream) {
  if (stream.kept.empty()) return;
  line.append(" ").append(name).append("=");
  line += quoted_prefix(stream.kept, kKeptOutput);
  if (stream.dropped > 0) line += " (" + std::to_string(stream.dropped) + " more bytes dropped)";
}

// Feeds the input and reads the output until both streams end and the
// child is gone, or the limit passes (then the group is killed).
struct Run {
  pid_t pid;
  FileDescriptor input;
  std::string_view pending_input;
  Stream out;
  Stream err;
};

bool serve(Run& run, Clock::time_point deadline, const std::atomic<bool>& stop, int& status) {
  for (;;) {
    pollfd fds[3];
    nfds_t count = 0;
    if (run.input.is_open()) fds[count++] = {run.input.get(), POLLOUT, 0};
    if (run.out.fd.is_open()) fds[count++] = {run.out.fd.get(), POLLIN, 0};
    if (run.err.fd.is_open()) fds[count++] = {run.err.fd.get(), POLLIN, 0};
    if (count == 0) {
      const pid_t done = ::waitpid(run.pid, &status, WNOHANG);
      if (done == run.pid) return true;
    }
    if (stop || Clock::now() >= deadline) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int wait = static_cast<int>(std::min<long long>(left.count() + 1, kPollStep));
    if (::poll(fds, count, count == 0 ? std::min(wait, 10) : wait) < 0 && errno != EINTR)
      return false;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == run.input.get()) {
        const ssize_t n = repeat_if_interrupted([&] {
          return ::write(run.input.get(), run.pending_input.data(), run.pending_input.size());
        });
        if (n > 0) run.pending_input.remove_prefix(static_cast<std::size_t>(n));
        if ((n < 0 && errno != EAGAIN) || run.pending_input.empty())
          run.input.close();  // all given, or the command does not read it
      } else if (fds[i].fd == run.out.fd.get()) {
        drain(run.out);
      } else {
        drain(run.err);
      }
    }
  }
}

// A write to the command's input after it exited raises SIGPIPE, which would
// end the daemon: blocked on this thread while a command runs, and any that
// came is taken before it is unblocked.
class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    (void)::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlocked() {
    const timespec now{0, 0};
    while (::sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
    }
    (void)::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

 private:
  sigset_t pipe_{};
  sigset_t old_{};
};

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::string run_notify(const NotifyJob& job, const std::atomic<bool>& stop) {
  const std::string head = "notify for request " + job.request_id + ": " + job.argv.front();
  const SigpipeBlocked no_sigpipe;
  const Result<Account, std::string> found = account_of(job.user);
  if (!found.ok()) return head + " not run: " + found.error();
  const Account& account = found.value();
  auto in = make_pipe();
  auto out = make_pipe();
  auto err = make_pipe();
  if (!in || !out || !err) return head + " not run: " + std::strerror(errno);
  std::vector<std::string> argv_texts = job.argv;
  std::vector<std::string> env_texts = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + account.home,
                                        "LANG=C.UTF-8", "KELVANE_REQUEST_ID=" + job.request_id};
  const std::vector<char*> argv = pointers(argv_texts);
  const std::vector<char*> env = pointers(env_texts);
  const pid_t pid = ::fork();
  if (pid < 0) return head + " not run: fork: " + std::strerror(errno);
  if (pid == 0)
    become_command(account, in->read.get(), out->write.get(), err->write.get(), argv.data(),
                   env.data());
  in->read.close();
  out->write.close();
  err->write.close();
  for (const int fd : {in->write.get(), out->read.get(), err->read.get()})
    (void)::fcntl(fd, F_SETFL, O_NONBLOCK);
  Run run{pid,
          std::move(in->write),
          job.input,
          {std::move(out->read), {}, 0},
          {std::move(err->read), {}, 0}};
  int status = 0;
  const bool ended = serve(run, Clock::now() + job.limit, stop, status);
  if (!ended) {
    (void)::kill(-pid, SIGKILL);
    (void)::kill(pid, SIGKILL);
    (void)repeat_if_interrupted([&] { return ::waitpid(pid, &status, 0); });
  }
  std::string line = head + " " + outcome_text(status, !ended);
  append_output(line, "stdout", run.out);
  append_output(line, "stderr", run.err);
  return line;
}

Notifier::Notifier(Mailbox& mailbox, std::function<void(std::string)> log)
    : mailbox_(mailbox), log_(std::move(log)) {}

Notifier::~Notifier() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void Notifier::submit(NotifyJob job) {
  {
    const std::lock_guard lock(mutex_);
    if (queue_.size() >= kMaxQueued) {
      log_("notify for request " + job.request_id + " dropped: " + std::to_string(kMaxQueued) +
           " notifications are already waiting");
      return;
    }
    queue_.push_back(std::move(job));
    if (workers_.size() < kWorkers) workers_.emplace_back([this] { work(); });
  }
  wake_.notify_one();
}

void Notifier::work() {
  for (;;) {
    NotifyJob job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    std::string line = run_notify(job, stopping_);
    mailbox_.post([this, line = std::move(line)]() { log_(line); });
  }
}

}  // namespace kelvane::approvald
