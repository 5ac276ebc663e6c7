#include "fleet/postgres_server.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "fleet/connection.h"

namespace kelvane::fleet_test {
namespace {

constexpr const char* kBinDirs[] = {"/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin",
                                    "/usr/lib/postgresql/17/bin"};

std::string find_bin_dir() {
  if (const char* named = std::getenv("KOA_PG_BIN"); named != nullptr && *named != '\0')
    return named;
  for (const char* dir : kBinDirs) {
    if (::access((std::string(dir) + "/initdb").c_str(), X_OK) == 0) return dir;
  }
  return {};
}

std::string read_all(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

}  // namespace

bool running_in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

int PostgresServer::run(const std::string& program, const std::vector<std::string>& args,
                        std::string& output) const {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return -1;
  }
  if (pid == 0) {
    ::dup2(pipe_fds[1], 1);
    ::dup2(pipe_fds[1], 2);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    if (owner_uid_) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(owner_gid_) != 0 || ::setuid(*owner_uid_) != 0)
        ::_exit(126);
    }
    ::setenv("LC_ALL", "C", 1);
    ::setenv("HOME", dir_->path().c_str(), 1);
    std::vector<std::string> argv_text{bin_ + "/" + program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  // pg_ctl start leaves the server holding nothing of ours: its output
  // goes to the log file, so the pipe ends when pg_ctl does.
  output = read_all(pipe_fds[0]);
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool PostgresServer::make_dirs(std::string& why) {
  bin_ = find_bin_dir();
  if (bin_.empty()) {
    why = "no initdb in /usr/lib/postgresql/*/bin (install postgresql)";
    return false;
  }
  dir_ = std::make_unique<testing::TempDir>();
  const std::string& root = dir_->path();
  data_dir_ = root + "/data";
  socket_dir_ = root + "/socket";
  if (::geteuid() == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) {
      why = "running as root and there is no user \"nobody\" to run initdb as";
      return false;
    }
    owner_uid_ = nobody->pw_uid;
    owner_gid_ = nobody->pw_gid;
  }
  // The temporary directory is 0700; the server's owner must reach into it.
  ::chmod(root.c_str(), 0755);
  for (const std::string& dir : {data_dir_, socket_dir_}) {
    if (::mkdir(dir.c_str(), 0700) != 0 ||
        (owner_uid_ && ::chown(dir.c_str(), *owner_uid_, owner_gid_) != 0)) {
      why = "cannot make " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  // The socket directory is where clients connect: every test uid may.
  ::chmod(socket_dir_.c_str(), 0755);
  return true;
}

std::unique_ptr<PostgresServer> PostgresServer::make_cluster(const std::string& settings,
                                                             std::string& why) {
  std::unique_ptr<PostgresServer> server(new PostgresServer());
  if (!server->make_dirs(why)) return nullptr;
  std::string output;
  const int initdb = server->run("initdb",
                                 {"-D", server->data_dir_, "-U", kSuperuser, "--auth=trust",
                                  "--no-sync", "--encoding=UTF8", "--locale=C"},
                                 output);
  if (initdb != 0) {
    why = "initdb failed (status " + std::to_string(initdb) + "): " + output;
    return nullptr;
  }
  server->settings_ = settings;
  if (!server->start_again()) {
    why = "pg_ctl start failed: " + server->last_output_ + server->log();
    return nullptr;
  }
  return server;
}

std::unique_ptr<PostgresServer> PostgresServer::start(std::string& why) {
  return make_cluster("", why);
}

std::unique_ptr<PostgresServer> PostgresServer::start_primary(const std::string& standby_name,
                                                              std::string& why) {
  return make_cluster(
      " -c wal_level=replica -c synchronous_commit=on "
      "-c synchronous_standby_names='" +
          standby_name + "'",
      why);
}

std::unique_ptr<PostgresServer> PostgresServer::start_standby(PostgresServer& primary,
                                                              const std::string& standby_name,
                                                              std::string& why) {
  std::unique_ptr<PostgresServer> server(new PostgresServer());
  if (!server->make_dirs(why)) return nullptr;
  std::string output;
  // -R: standby.signal and primary_conninfo (the primary's socket folder).
  const int copied = server->run("pg_basebackup",
                                 {"-D", server->data_dir_, "-h", primary.socket_dir_, "-U",
                                  kSuperuser, "-X", "stream", "-R", "--no-sync"},
                                 output);
  if (copied != 0) {
    why = "pg_basebackup failed (status " + std::to_string(copied) + "): " + output;
    return nullptr;
  }
  // The walreceiver names itself by cluster_name: the name the primary's
  // synchronous_standby_names waits for.
  server->settings_ = " -c cluster_name=" + standby_name + " -c hot_standby=on";
  if (!server->start_again()) {
    why = "pg_ctl start failed: " + server->last_output_ + server->log();
    return nullptr;
  }
  for (int tries = 0; tries < 300; ++tries) {
    auto connection = fleet::Connection::open(primary.conninfo(kSuperuser, "postgres"));
    if (connection.ok()) {
      auto rows = connection.value()->exec(
          "SELECT count(*) FROM pg_stat_replication WHERE application_name = $1 AND "
          "sync_state = 'sync'",
          {standby_name});
      if (rows.ok() && rows.value().number(0, 0) == 1) return server;
    }
    ::usleep(100 * 1000);
  }
  why = "the standby did not become the primary's synchronous standby: " + server->log();
  return nullptr;
}

PostgresServer::~PostgresServer() {
  if (running_) ctl({"stop", "-m", "immediate"});
}

bool PostgresServer::ctl(const std::vector<std::string>& args) {
  std::vector<std::string> all = args;
  all.insert(all.end(), {"-D", data_dir_, "-w", "-t", "60"});
  return run("pg_ctl", all, last_output_) == 0;
}

bool PostgresServer::start_again() {
  // Only the socket in our directory: listen_addresses='' keeps TCP shut.
  const std::string options = "-c listen_addresses='' -c unix_socket_directories='" + socket_dir_ +
                              "' -c max_connections=100 -c shared_buffers=16MB" + settings_;
  // The log is written by the server's owner, so it lives in a directory of
  // the owner's (the socket's).
  running_ = ctl({"start", "-l", socket_dir_ + "/server.log", "-o", options});
  started_at_ = std::chrono::steady_clock::now();
  return running_;
}

bool PostgresServer::stop() {
  const bool stopped = ctl({"stop", "-m", "fast"});
  if (stopped) running_ = false;
  return stopped;
}

bool PostgresServer::crash() {
  const bool stopped = ctl({"stop", "-m", "immediate"});
  if (stopped) running_ = false;
  return stopped;
}

bool PostgresServer::promote() {
  return ctl({"promote"});
}

bool PostgresServer::restart() {
  return stop() && start_again();
}

std::string PostgresServer::log() const {
  return testing::read_file(socket_dir_ + "/server.log");
}

std::string PostgresServer::conninfo(const std::string& user, const std::string& database) const {
  if (!partner_socket_dir_.empty()) {
    return "host=" + socket_dir_ + "," + partner_socket_dir_ + " user=" + user +
           " dbname=" + database + " connect_timeout=5 target_session_attrs=read-write";
  }
  return "host=" + socket_dir_ + " user=" + user + " dbname=" + database + " connect_timeout=5";
}

PostgresServer* shared_server(std::string& why) {
  static std::string reason;
  static std::unique_ptr<PostgresServer> server = PostgresServer::start(reason);
  why = reason;
  return server.get();
}

}  // namespace kelvane::fleet_test
