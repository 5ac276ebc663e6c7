// kelvane-operator-approvald: the approval service.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "activation.h"
#include "daemon.h"
#include "fleet/connection_file.h"
#include "fleet/migrate_command.h"
#include "options.h"
#include "record_upkeep.h"
#include "sandbox_check.h"
#include "service/config_names.h"
#include "service/id_block.h"
#include "service/listener.h"
#include "service/safe_paths.h"
#include "service/signed_vote.h"
#include "support/utc_time.h"

#ifndef KOA_VERSION
#define KOA_VERSION "0.0.0"
#endif

namespace kelvane::approvald {
namespace {

constexpr std::string_view kName = "kelvane-operator-approvald";
constexpr const char* kApproversGroup = "kelvane-approvers";

// Exit statuses.
constexpr int kFailed = 1;    // could not start or keep running
constexpr int kBadUsage = 2;  // bad arguments or configuration

void say(FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void complain(std::string_view text) {
  say(stderr, std::string(kName) + ": " + std::string(text) + "\n");
}

// Many waiting requests are many descriptors: take all the system allows.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// Creates the directory (not its parents' parents) if it is missing, after
// checking that nobody else could replace what it is to hold.
Result<void, std::string> ensure_directory(const std::string& path, mode_t mode,
                                           service::Holding holding) {
  const std::string parent = parent_of(path);
  struct stat status {};
  if (::stat(parent.c_str(), &status) != 0) return fail(path + ": " + std::strerror(errno));
  if (auto problem = service::unsafe_folder_problem(parent, service::Holding::Folder))
    return fail(path + ": refusing to use it: " + *problem);
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
    return fail(path + ": " + std::strerror(errno));
  // Something else than a folder there is the record's to report.
  if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return {};
  if (auto problem = service::unsafe_folder_problem(path, holding))
    return fail(path + ": refusing to use it: " + *problem);
  return {};
}

// A listening socket of our own at `path`, with room for many waiting
// connections, its file given `mode` (and group, unless -1).
Result<FileDescriptor, std::string> listen_at(const std::string& path, mode_t mode, gid_t group,
                                              service::Listener& holder) {
  if (auto problem = service::unsafe_folder_problem(parent_of(path), service::Holding::Socket))
    return fail(path + ": refusing to listen there: " + *problem);
  Result<service::Listener, std::string> opened = service::Listener::open(path, mode);
  if (!opened.ok()) return fail(std::move(opened).error());
  holder = std::move(opened).value();
  // Listening again only changes the backlog: bursts of sudo sessions wait
  // in it, never in connect.
  (void)::listen(holder.fd(), SOMAXCONN);
  if (auto set =
          service::set_socket_group_and_mode(path, holder.device(), holder.inode(), group, mode);
      !set.ok())
    return fail(std::move(set).error());
  const int fd = ::dup(holder.fd());
  if (fd < 0) return fail(path + ": " + std::strerror(errno));
  return FileDescriptor(fd);
}

// The record at start: earlier pending requests abandoned, old ones pruned,
// the first block of ids taken.
Result<void, std::string> prepare_record(service::Store& store, const service::Config& config,
                                         Start& start) {
  if (auto b = store.begin(); !b.ok()) return b;
  const std::time_t now = std::time(nullptr);
  auto abandoned = store.abandon_pending(utc_text(now));
  const std::optional<std::int64_t> cutoff = service::prune_cutoff(config, now);
  auto pruned = cutoff ? store.prune(utc_text(*cutoff))
                       : Result<std::uint64_t, std::string>(std::uint64_t{0});
  auto first = store.reserve_ids(service::kIdBlock);
  for (const std::string* error :
       {abandoned.ok() ? nullptr : &abandoned.error(), pruned.ok() ? nullptr : &pruned.error(),
        first.ok() ? nullptr : &first.error()}) {
    if (error) {
      store.rollback();
      return fail(*error);
    }
  }
  start.first_id = first.value();
  start.id_count = service::kIdBlock;
  return store.commit();
}

// store = "postgresql": the shared database, this host's lock in it taken,
// and the ids come from it (unique across the fleet).
Result<void, std::string> open_fleet(const service::Config& config, Start& start) {
  auto conninfo = fleet::read_connection_file(*config.connection_file);
  if (!conninfo.ok()) return fail(std::move(conninfo).error());
  if (auto reachable = check_fleet_reachable(conninfo.value()); !reachable.ok()) return reachable;
  auto link =
      std::make_unique<FleetLink>(std::move(conninfo).value(), service::host_name_of(config));
  auto first = link->open();
  if (!first.ok()) return fail("the fleet's database: " + first.error());
  start.first_id = first.value();
  start.id_count = service::kIdBlock;
  start.fleet = std::move(link);
  return {};
}

int serve(const Options& options, service::Config config, const std::string& config_path) {
  Settings settings;
  settings.request_socket =
      options.socket.value_or(config.socket.value_or(std::string(kDefaultSocket)));
  settings.operator_socket = options.operator_socket.value_or(
      config.operator_socket.value_or(std::string(kDefaultOperatorSocket)));
  const std::string state_dir =
      options.state_dir.value_or(config.state_dir.value_or(std::string(kDefaultStateDir)));
  settings.config_path = config_path;
  settings.config_named = options.config.has_value();
  settings.config = std::move(config);
  if (settings.config.operator_keys) {
    auto keys = service::load_operator_keys(*settings.config.operator_keys);
    if (!keys.ok()) {
      complain(keys.error());
      return kFailed;
    }
    settings.operator_keys = std::move(keys).value();
  }

  raise_descriptor_limit();
  DecisionJournal journal;
  for (const std::string& warning : settings.config.warnings) journal.note("warning: " + warning);
  Start start;
  if (auto made = ensure_directory(state_dir, 0750, service::Holding::Files); !made.ok()) {
    complain(made.error());
    return kFailed;
  }
  auto store = service::Store::open(state_dir);
  if (!store.ok()) {
    complain(store.error());
    return kFailed;
  }
  // One daemon per record, and none while a restore replaces it; held
  // until the process ends. Taken before the record is written.
  auto lock = lock_state_dir(state_dir);
  if (!lock.ok()) {
    complain(lock.error());
    return kFailed;
  }
  if (auto prepared = prepare_record(*store.value(), settings.config, start); !prepared.ok()) {
    complain(prepared.error());
    return kFailed;
  }
  start.store = std::move(store).value();
  // The approval tokens' keys: made at the first start, published at each.
  start.key_paths = {state_dir + "/" + std::string(token::kKeyDirectory),
                     settings.config.public_dir.value_or(token::default_public_dir(state_dir))};
  auto keys = token::open_keys(start.key_paths, settings.config.token_lifetime,
                               static_cast<std::uint64_t>(std::time(nullptr)));
  if (!keys.ok()) {
    complain("approval token keys: " + keys.error());
    return kFailed;
  }
  start.keys = std::make_unique<token::KeyState>(std::move(keys).value());
  if (settings.config.store == "postgresql") {
    auto fleet = open_fleet(settings.config, start);
    if (!fleet.ok()) {
      complain(fleet.error());
      return kFailed;
    }
  }

  ActivatedSockets activated =
      take_activated_sockets(settings.request_socket, settings.operator_socket);
  if (!activated.error.empty()) {
    complain(activated.error);
    return kFailed;
  }
  if (activated.requests >= 0) {
    start.requests = FileDescriptor(activated.requests);
  } else {
    start.request_file = std::make_unique<service::Listener>();
    auto fd = listen_at(settings.request_socket, 0666, static_cast<gid_t>(-1), *start.request_file);
    if (!fd.ok()) {
      complain(fd.error());
      return kFailed;
    }
    start.requests = std::move(fd).value();
  }
  if (activated.operators >= 0) {
    start.operators = FileDescriptor(activated.operators);
  } else {
    // Members of the approvers' group may connect; without the group, root
    // alone. A daemon run by another user (to try it, or in tests) keeps
    // the socket to that user: it could not give it to the group anyway.
    const group* approvers = ::geteuid() == 0 ? ::getgrnam(kApproversGroup) : nullptr;
    const gid_t gid = approvers ? approvers->gr_gid : static_cast<gid_t>(-1);
    if (auto made =
            ensure_directory(parent_of(settings.operator_socket), 0755, service::Holding::Socket);
        !made.ok()) {
      complain(made.error());
      return kFailed;
    }
    start.operator_file = std::make_unique<service::Listener>();
    auto fd =
        listen_at(settings.operator_socket, approvers ? 0660 : 0600, gid, *start.operator_file);
    if (!fd.ok()) {
      complain(fd.error());
      return kFailed;
    }
    start.operators = std::move(fd).value();
  }
  for (const int fd : {start.requests.get(), start.operators.get()}) {
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }

  const std::string request_socket = settings.request_socket;
  const std::string operator_socket = settings.operator_socket;
  Daemon daemon(std::move(settings), std::move(start), journal);
  std::string error;
  if (!daemon.ready(error)) {
    complain(error);
    return kFailed;
  }
  say(stdout, std::string(kName) + ": listening on " + request_socket +
                  " (operators: " + operator_socket + ")\n");
  return daemon.run();
}

// --backup, --restore, --check-record: the exit status.
int keep_record(const Options& options, const service::Config& config) {
  const std::string state_dir =
      options.state_dir.value_or(config.state_dir.value_or(std::string(kDefaultStateDir)));
  const std::time_t now = std::time(nullptr);
  if (options.command == Command::CheckRecord) {
    auto checked = check_record(state_dir);
    if (!checked.ok()) {
      complain(checked.error());
      return kFailed;
    }
    say(checked.value().sound ? stdout : stderr, checked.value().report);
    return checked.value().sound ? 0 : kFailed;
  }
  auto done = options.command == Command::Backup
                  ? back_up_record(state_dir, *options.record_file, now)
                  : restore_record(state_dir, *options.record_file, now);
  if (!done.ok()) {
    complain(done.error());
    return kFailed;
  }
  say(stdout, std::string(kName) + ": " + done.value() + "\n");
  return 0;
}

int main_of(int argc, const char* const* argv) {
  auto parsed = parse_options(argc, argv);
  if (!parsed.ok()) {
    complain(parsed.error());
    say(stderr, "Try 'kelvane-operator-approvald --help'.\n");
    return kBadUsage;
  }
  const Options& options = parsed.value();
  if (options.command == Command::Help) {
    say(stdout, kUsage);
    return 0;
  }
  if (options.command == Command::Version) {
    say(stdout, std::string(kName) + " " KOA_VERSION "\n");
    return 0;
  }
  const std::string config_path = options.config.value_or(std::string(service::kDefaultConfigPath));
  if (options.command == Command::Migrate) {
    // An import goes in as the configuration's host.
    std::string host;
    if (options.import_sqlite) {
      auto config = service::load_config(config_path, options.config.has_value());
      if (!config.ok()) {
        complain(config.error());
        return kBadUsage;
      }
      host = service::host_name_of(config.value());
    }
    auto migrated = fleet::run_migration(options.connection_file, options.import_sqlite, host);
    if (!migrated.ok()) {
      complain(migrated.error());
      return kFailed;
    }
    say(stdout, std::string(kName) + ": " + migrated.value() + "\n");
    return 0;
  }
  auto config = service::load_config(config_path, options.config.has_value());
  if (!config.ok()) {
    // Every error of the file, one per line.
    const std::string& errors = config.error();
    for (std::size_t at = 0; at < errors.size();) {
      const std::size_t end = std::min(errors.find('\n', at), errors.size());
      complain(errors.substr(at, end - at));
      at = end + 1;
    }
    return kBadUsage;
  }
  if (options.command == Command::CheckConfig) {
    // Warnings leave the status 0: the service starts with such a file.
    for (const std::string& warning : config.value().warnings) complain("warning: " + warning);
    for (const std::string& warning : service::unresolved_names(config.value()))
      complain("warning: " + warning);
    say(stdout, config_path + ": ok\n");
    return 0;
  }
  if (options.command == Command::Backup || options.command == Command::Restore ||
      options.command == Command::CheckRecord)
    return keep_record(options, config.value());
  return serve(options, std::move(config).value(), config_path);
}

}  // namespace
}  // namespace kelvane::approvald

int main(int argc, char** argv) {
  return kelvane::approvald::main_of(argc, argv);
}
