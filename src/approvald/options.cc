#include "options.h"

#include <array>

#include "service/config.h"

namespace kelvane::approvald {

const std::string_view kUsage =
    "Usage: kelvane-operator-approvald [OPTIONS]\n"
    "\n"
    "The approval service: holds requests from kelvane-operator-approve and the\n"
    "sudo approval plugin until operators decide them, and keeps a record.\n"
    "\n"
    "Options:\n"
    "  --socket PATH           request socket (default /run/kelvane-operator-approval.sock)\n"
    "  --operator-socket PATH  operators' socket\n"
    "                          (default /run/kelvane-operator-approval/operators.sock)\n"
    "  --state-dir DIR         where the record is kept\n"
    "                          (default /var/lib/kelvane-operator-approval)\n"
    "  --config FILE           configuration\n"
    "                          (default " KOA_SYSCONFDIR
    "/kelvane-operator-approval/service.toml)\n"
    "  --check-config          check the configuration and exit (0 good, 2 bad)\n"
    "  --migrate               create or upgrade the fleet's PostgreSQL schema, as its\n"
    "                          administrator, and exit (see docs/fleet.md)\n"
    "  --connection-file FILE  with --migrate: the administrator's connection string\n"
    "                          (default: libpq's environment, PGHOST, PGUSER, ...)\n"
    "  --import-sqlite FILE    with --migrate: copy this SQLite record into the database\n"
    "                          as the requests of the configuration's host_name\n"
    "  --backup FILE           copy the record into FILE (the service may run) and exit\n"
    "  --restore FILE          put a backup in place of the record, with the service\n"
    "                          and its sockets stopped, and exit\n"
    "  --check-record          check the record's integrity and exit (0 sound, 1 damaged\n"
    "                          or unreadable)\n"
    "  --help, --version\n";

Result<Options, std::string> parse_options(int argc, const char* const* argv) {
  Options options;
  const std::array<std::pair<std::string_view, std::optional<std::string> Options::*>, 6> valued = {
      {{"--socket", &Options::socket},
       {"--operator-socket", &Options::operator_socket},
       {"--state-dir", &Options::state_dir},
       {"--config", &Options::config},
       {"--connection-file", &Options::connection_file},
       {"--import-sqlite", &Options::import_sqlite}}};
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help") {
      options.command = Command::Help;
      return options;
    }
    if (arg == "--version") {
      options.command = Command::Version;
      return options;
    }
    if (arg == "--check-config") {
      options.command = Command::CheckConfig;
      continue;
    }
    if (arg == "--migrate") {
      options.command = Command::Migrate;
      continue;
    }
    if (arg == "--check-record") {
      options.command = Command::CheckRecord;
      continue;
    }
    std::optional<std::string_view> inline_value;
    if (const std::size_t eq = arg.find('=');
        arg.starts_with("--") && eq != std::string_view::npos) {
      inline_value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    if (arg == "--backup" || arg == "--restore") {
      if (!inline_value && i + 1 < argc) inline_value = argv[++i];
      if (!inline_value || inline_value->empty()) return fail(std::string(arg) + " needs a file");
      options.command = arg == "--backup" ? Command::Backup : Command::Restore;
      options.record_file = std::string(*inline_value);
      continue;
    }
    bool known = false;
    for (const auto& [name, slot] : valued) {
      if (arg != name) continue;
      known = true;
      if (!inline_value) {
        if (i + 1 >= argc) return fail(std::string(name) + " needs a value");
        inline_value = argv[++i];
      }
      if (inline_value->empty()) return fail(std::string(name) + " needs a value");
      if (name != "--config" && name != "--connection-file" && name != "--import-sqlite" &&
          !inline_value->starts_with('/'))
        return fail(std::string(name) + " needs an absolute path");
      options.*slot = std::string(*inline_value);
    }
    if (!known) return fail("unknown argument \"" + std::string(argv[i]) + "\"");
  }
  if (options.import_sqlite && options.command != Command::Migrate)
    return fail("--import-sqlite goes with --migrate");
  if (options.connection_file && options.command != Command::Migrate)
    return fail(
        "--connection-file goes with --migrate (a service reads connection_file from its "
        "configuration)");
  return options;
}

}  // namespace kelvane::approvald
