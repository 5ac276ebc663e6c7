// Real processes and sockets for the daemon's tests: the daemon itself, the
// real client, and operators and raw requesters connected as other uids.
//
// Other uids: the test runs as root and forks a child that takes the uid
// (and its group) of a system account that every Debian system has
// (daemon, bin, sys), connects, hands the connected socket back over a
// socketpair (SCM_RIGHTS) and exits. SO_PEERCRED keeps the credentials of
// the connect, so the daemon sees that user; the test then speaks over the
// socket itself, through the shared codec. No account is created.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "service/operator_protocol.h"
#include "support/file_descriptor.h"
#include "testing/service.h"

namespace kelvane::approvald_test {

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

// A system account by name; nullopt when this system lacks it.
std::optional<Account> account(const std::string& name);

// The daemon on sockets and a record in a directory of its own, readable
// by every uid.
class DaemonProcess {
 public:
  explicit DaemonProcess(std::string config_text);
  // Stops it as systemd would (SIGTERM, then SIGKILL after kStopLimit), so
  // that it writes what it writes at exit; a daemon that needed SIGKILL or
  // died of a signal fails the test.
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  // Starts it and waits for its "listening on" line; false if it exits or
  // says nothing within 10 s. `wrapper` runs in front of the daemon
  // (systemd-socket-activate and its options).
  bool start(const std::vector<std::string>& wrapper = {}, bool wait = true);
  // Waits for the "listening on" line (after start without waiting).
  bool wait_listening();
  // Sends a signal and waits for the exit: the exit status, or -signal.
  // One still running after kStopLimit is killed (-SIGKILL).
  int stop(int signal = SIGTERM);
  // Waits for an exit of its own (no signal): the status, as stop() gives
  // it, or -1000 when it still runs after `limit`.
  int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // kill -9: for the tests about a crash.
  void kill_hard();
  // How long a stop may take: the daemon's own grace for the verdicts it
  // still records and sends is 10 s.
  static constexpr std::chrono::seconds kStopLimit{15};
  void signal(int signal);
  pid_t pid() const { return pid_; }

  // Options after the usual ones (a later one wins): other paths.
  void add_arguments(std::vector<std::string> more) {
    extra_.insert(extra_.end(), more.begin(), more.end());
  }
  void write_config(const std::string& text);
  const std::string& dir() const { return dir_.path(); }
  std::string request_socket() const { return dir_.file("requests.sock"); }
  std::string operator_socket() const { return dir_.file("operators.sock"); }
  std::string state_dir() const { return dir_.file("state"); }
  std::string config_path() const { return dir_.file("service.toml"); }
  std::string record_path() const { return dir_.file("state/record.sqlite3"); }
  // What it wrote on standard error so far.
  std::string log() const;
  // Waits until the log holds `text`.
  bool log_shows(const std::string& text,
                 std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

 private:
  testing::TempDir dir_;
  pid_t pid_ = -1;
  FileDescriptor stdout_;
  std::vector<std::string> extra_;
};

// Runs `argv` with its standard streams captured, as `uid` unless nullopt.
struct Finished {
  int status = -1;  // exit status, or -signal
  std::string out;
  std::string err;
};

class Process {
 public:
  Process(std::vector<std::string> argv, std::vector<std::string> env,
          std::optional<Account> as = std::nullopt);
  ~Process();
  Process(Process&&) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  Finished wait();

 private:
  pid_t pid_ = -1;
  FileDescriptor out_;
  FileDescriptor err_;
};

// The real client (KOA_CLIENT) asking `daemon`, as `as`.
Process run_client(const DaemonProcess& daemon, const std::optional<Account>& as,
                   const std::string& title, std::vector<std::string> more = {});

// A connection to `path` made by `as` (root when nullopt).
FileDescriptor connect_as(const std::string& path, const std::optional<Account>& as);

// One line from a socket, without its line feed; nullopt at the end, on an
// error, or when `limit` passes first.
std::optional<std::string> read_line(int fd, std::string& buffer,
                                     std::chrono::milliseconds limit = std::chrono::seconds(10));
bool send_all(int fd, const std::string& bytes);

// An operator speaking the operators' protocol.
class OperatorLink {
 public:
  OperatorLink(const DaemonProcess& daemon, const std::optional<Account>& as);
  bool connected() const { return fd_.is_open(); }
  // Sends one request and returns the next line's answer (events skipped
  // and kept for next_event).
  service::OperatorAnswer ask(const service::OperatorRequest& request);
  // The next event (from watch); nullopt after `limit`.
  std::optional<service::OperatorEvent> next_event(
      std::chrono::milliseconds limit = std::chrono::seconds(10));
  int fd() const { return fd_.get(); }

 private:
  std::optional<service::DaemonLine> next_line(std::chrono::milliseconds limit);
  FileDescriptor fd_;
  std::string buffer_;
  std::vector<service::OperatorEvent> events_;
};

// The id of the next request that starts waiting, seen by a watcher; ""
// when none does within 10 s.
std::string next_pending(OperatorLink& watcher);

// A connection (as root) to `path` once something listens there, trying
// again until `limit`: a socket's file appears at bind, before its
// listen, and a connect in between is refused.
FileDescriptor connect_when_listening(const std::string& path,
                                      std::chrono::milliseconds limit = std::chrono::seconds(10));

// Whether a connection to `path` is accepted within `limit`.
bool accepts(const std::string& path, std::chrono::milliseconds limit = std::chrono::seconds(10));

// The member `name` of a JSON object line as text ("" when absent or not
// a string).
std::string member_text(const std::string& line, const std::string& name);

service::OperatorRequest op(service::OperatorOp which, std::string id = {});
service::OperatorRequest vote(std::string id, bool approve, std::optional<std::string> reason = {});

// A request line as the client writes it.
std::string request_line(const std::string& title, std::optional<std::uint64_t> timeout = {},
                         const std::string& context = {});

// What sqlite3 itself answers for a query on the record (first column of
// each row, joined by line feeds).
std::string query_record(const std::string& path, const std::string& sql);

}  // namespace kelvane::approvald_test
