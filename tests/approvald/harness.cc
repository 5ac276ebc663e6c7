#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "json/json.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string daemon_path() {
  const char* path = std::getenv("KOA_DAEMON");
  return path && *path ? path : KOA_DAEMON_PATH;
}

std::string client_path() {
  const char* path = std::getenv("KOA_CLIENT");
  return path && *path ? path : KOA_CLIENT_PATH;
}

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return -WTERMSIG(raw);
  return -1000;
}

void become(const Account& as) {
  if (::setgroups(0, nullptr) != 0 || ::setgid(as.gid) != 0 || ::setuid(as.uid) != 0) _exit(126);
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

std::string drain(int fd) {
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

std::optional<Account> account(const std::string& name) {
  const passwd* entry = ::getpwnam(name.c_str());
  if (entry == nullptr) return std::nullopt;
  return Account{name, entry->pw_uid, entry->pw_gid};
}

DaemonProcess::DaemonProcess(std::string config_text) {
  ::chmod(dir_.path().c_str(), 0755);
  write_config(config_text);
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0) {
    const int status = stop(SIGTERM);
    // Exit statuses are the tests' to judge (some start it to fail), and
    // SIGTERM may end one that has not yet taken over its signals; any
    // other signal means it hung in its stop or crashed in it.
    if (status < 0 && status != -SIGTERM)
      ADD_FAILURE() << "the daemon did not stop cleanly on SIGTERM: " << status;
  }
  // A sanitizer's report goes to the daemon's log and need not change what
  // the test sees (ThreadSanitizer lets the daemon go on): it fails the test
  // here.
  const std::string text = log();
  if (text.find("Sanitizer") != std::string::npos)
    ADD_FAILURE() << "a sanitizer reported in the daemon:\n" << text;
  // For a failure's post-mortem: the daemon's own account of the test.
  if (std::getenv("KOA_SHOW_DAEMON_LOG")) std::fprintf(stderr, "%s", text.c_str());
}

void DaemonProcess::write_config(const std::string& text) {
  testing::write_file(config_path() + ".new", text);
  ::rename((config_path() + ".new").c_str(), config_path().c_str());
}

bool DaemonProcess::start(const std::vector<std::string>& wrapper, bool wait) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  std::vector<std::string> argv = wrapper;
  for (const std::string& arg :
       {daemon_path(), std::string("--socket"), request_socket(), std::string("--operator-socket"),
        operator_socket(), std::string("--state-dir"), state_dir(), std::string("--config"),
        config_path()}) {
    argv.push_back(arg);
  }
  argv.insert(argv.end(), extra_.begin(), extra_.end());
  const std::string log_path = dir_.file("daemon.log");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(log, STDERR_FILENO);
    ::unsetenv("JOURNAL_STREAM");
    auto args = pointers(argv);
    ::execv(args[0], args.data());
    _exit(127);
  }
  ::close(out[1]);
  stdout_ = FileDescriptor(out[0]);
  return !wait || wait_listening();
}

bool DaemonProcess::wait_listening() {
  std::string buffer;
  const auto line = read_line(stdout_.get(), buffer, 10s);
  if (!line || line->find("listening on") == std::string::npos) return false;
  // Operators of every uid may connect in these tests; the daemon leaves
  // the socket to root when the approvers' group does not exist.
  ::chmod(operator_socket().c_str(), 0666);
  return true;
}

void DaemonProcess::signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

int DaemonProcess::stop(int signal) {
  if (pid_ <= 0) return -1000;
  ::kill(pid_, signal);
  int raw = 0;
  const auto end = Clock::now() + kStopLimit;
  pid_t done = 0;
  while ((done = ::waitpid(pid_, &raw, WNOHANG)) == 0 && Clock::now() < end)
    std::this_thread::sleep_for(5ms);
  if (done == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &raw, 0);
  }
  pid_ = -1;
  return decode_status(raw);
}

int DaemonProcess::wait_exit(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1000;
  int raw = 0;
  const auto end = Clock::now() + limit;
  pid_t done = 0;
  while ((done = ::waitpid(pid_, &raw, WNOHANG)) == 0 && Clock::now() < end)
    std::this_thread::sleep_for(5ms);
  if (done == 0) return -1000;
  pid_ = -1;
  return decode_status(raw);
}

void DaemonProcess::kill_hard() {
  (void)stop(SIGKILL);
}

std::string DaemonProcess::log() const {
  return testing::read_file(dir_.file("daemon.log"));
}

bool DaemonProcess::log_shows(const std::string& text, std::chrono::milliseconds limit) const {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

Process::Process(std::vector<std::string> argv, std::vector<std::string> env,
                 std::optional<Account> as) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    if (as) become(*as);
    auto args = pointers(argv);
    auto envp = pointers(env);
    ::execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_ = FileDescriptor(out[0]);
  err_ = FileDescriptor(err[0]);
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

Finished Process::wait() {
  Finished done;
  // The client writes little; read its error stream on a thread so that
  // neither pipe can fill while the other is read.
  std::string err;
  std::thread reader([&] { err = drain(err_.get()); });
  done.out = drain(out_.get());
  reader.join();
  done.err = std::move(err);
  int raw = 0;
  ::waitpid(pid_, &raw, 0);
  pid_ = -1;
  done.status = decode_status(raw);
  return done;
}

Process run_client(const DaemonProcess& daemon, const std::optional<Account>& as,
                   const std::string& title, std::vector<std::string> more) {
  std::vector<std::string> argv = {
      client_path(), "--title", title,           "--detail", "details",       "--action", "restart",
      "--requester", "tester",  "--source-host", "here",     "--target-host", "there"};
  argv.insert(argv.end(), more.begin(), more.end());
  return Process(
      std::move(argv),
      {"KELVANE_OPERATOR_APPROVAL_SOCK=" + daemon.request_socket(), "PATH=/usr/bin:/bin"}, as);
}

// Seconds the connecting process lives on (see connect_as).
constexpr unsigned kConnectorLingers = 20;

FileDescriptor connect_as(const std::string& path, const std::optional<Account>& as) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return FileDescriptor();
  const pid_t child = ::fork();
  if (child == 0) {
    // The process that connects stays alive a while after it hands the
    // connection over: the daemon asks the kernel at accept which user
    // namespace the connecting process runs in, and refuses a connection
    // whose process is gone. A grandchild, so that nobody waits for it.
    if (::fork() != 0) _exit(0);
    // Nothing of the test's own: a connection it holds must close when the
    // test closes it.
    ::close_range(3, static_cast<unsigned>(pair[1]) - 1, 0);
    ::close_range(static_cast<unsigned>(pair[1]) + 1, ~0u, 0);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (as) become(*as);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) _exit(1);
    char byte = 'x';
    iovec io{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    const bool sent = ::sendmsg(pair[1], &message, 0) == 1;
    ::close(fd);
    ::close(pair[1]);
    if (sent) ::sleep(kConnectorLingers);
    _exit(sent ? 0 : 1);
  }
  ::close(pair[1]);
  FileDescriptor channel(pair[0]);
  char byte = 0;
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  int fd = -1;
  if (::recvmsg(channel.get(), &message, MSG_CMSG_CLOEXEC) == 1) {
    if (const cmsghdr* header = CMSG_FIRSTHDR(&message);
        header && header->cmsg_type == SCM_RIGHTS) {
      std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    }
  }
  ::waitpid(child, nullptr, 0);
  return FileDescriptor(fd);
}

std::optional<std::string> read_line(int fd, std::string& buffer, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  for (;;) {
    if (const std::size_t at = buffer.find('\n'); at != std::string::npos) {
      std::string line = buffer.substr(0, at);
      buffer.erase(0, at + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

bool send_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

OperatorLink::OperatorLink(const DaemonProcess& daemon, const std::optional<Account>& as)
    : fd_(connect_as(daemon.operator_socket(), as)) {}

std::optional<service::DaemonLine> OperatorLink::next_line(std::chrono::milliseconds limit) {
  const auto line = read_line(fd_.get(), buffer_, limit);
  if (!line) return std::nullopt;
  auto decoded = service::decode_daemon_line(*line);
  if (!decoded.ok()) return std::nullopt;
  return std::move(decoded).value();
}

service::OperatorAnswer OperatorLink::ask(const service::OperatorRequest& request) {
  if (!send_all(fd_.get(), service::encode_operator_request(request)))
    return service::refused_answer(-1, "send failed");
  for (;;) {
    auto line = next_line(std::chrono::seconds(20));
    if (!line) return service::refused_answer(-1, "no answer");
    if (auto* event = std::get_if<service::OperatorEvent>(&*line)) {
      events_.push_back(std::move(*event));
      continue;
    }
    return std::get<service::OperatorAnswer>(std::move(*line));
  }
}

std::optional<service::OperatorEvent> OperatorLink::next_event(std::chrono::milliseconds limit) {
  if (!events_.empty()) {
    service::OperatorEvent event = std::move(events_.front());
    events_.erase(events_.begin());
    return event;
  }
  auto line = next_line(limit);
  if (!line) return std::nullopt;
  if (auto* event = std::get_if<service::OperatorEvent>(&*line)) return std::move(*event);
  return std::nullopt;
}

std::string next_pending(OperatorLink& watcher) {
  for (;;) {
    auto event = watcher.next_event(10s);
    if (!event) return {};
    if (event->kind == service::OperatorEvent::Kind::Pending) return event->request->id;
  }
}

FileDescriptor connect_when_listening(const std::string& path, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  for (;;) {
    FileDescriptor fd = connect_as(path, std::nullopt);
    if (fd.is_open() || Clock::now() >= end) return fd;
    std::this_thread::sleep_for(20ms);
  }
}

bool accepts(const std::string& path, std::chrono::milliseconds limit) {
  return connect_when_listening(path, limit).is_open();
}

std::string member_text(const std::string& line, const std::string& name) {
  auto parsed = json::parse_value(line);
  if (!parsed.ok() || parsed.value().kind() != json::Value::Kind::Object) return {};
  for (const auto& m : parsed.value().as_object()) {
    if (m.name() == name && m.value.kind() == json::Value::Kind::String)
      return std::string(m.value.as_string());
  }
  return {};
}

service::OperatorRequest op(service::OperatorOp which, std::string id) {
  service::OperatorRequest request;
  request.op = which;
  request.id = std::move(id);
  return request;
}

service::OperatorRequest vote(std::string id, bool approve, std::optional<std::string> reason) {
  service::OperatorRequest request = op(service::OperatorOp::Vote, std::move(id));
  request.approve = approve;
  request.reason = std::move(reason);
  return request;
}

std::string request_line(const std::string& title, std::optional<std::uint64_t> timeout,
                         const std::string& context) {
  std::string out;
  json::Serializer serializer(out);
  json::SerializeMap map = serializer.serialize_map();
  map.serialize_entry("title", title);
  map.serialize_entry("detail", "d");
  map.serialize_entry("action", "a");
  map.serialize_entry("requester", "raw");
  map.serialize_entry("sourceHost", "s");
  map.serialize_entry("targetHost", "t");
  if (timeout) map.serialize_entry("timeoutSecs", *timeout);
  if (!context.empty()) {
    map.serialize_key("context");
    out += context;
  }
  map.end();
  out += '\n';
  return out;
}

std::string query_record(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return "cannot open";
  }
  sqlite3_stmt* stmt = nullptr;
  std::string out;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      if (!out.empty()) out += '\n';
      const auto* text = sqlite3_column_text(stmt, 0);
      out += text ? reinterpret_cast<const char*>(text) : "NULL";
    }
  } else {
    out = sqlite3_errmsg(db);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return out;
}

}  // namespace kelvane::approvald_test
