#include "options.h"

#include "service/listener.h"

namespace kelvane::demo {

const std::string_view kUsage =
    "usage: kelvane-operator-approval-demo [--socket PATH] [--auto approve|deny] [--once]\n"
    "       kelvane-operator-approval-demo --help | --version\n"
    "  --socket PATH         listen on PATH (default: where the client looks)\n"
    "  --auto approve|deny   answer every request at once instead of asking\n"
    "  --once                answer one request, then exit\n"
    "  --help                show this text\n"
    "  --version             show the version\n";

namespace {

Result<Mode, std::string> parse_mode(std::string_view value) {
  if (value == "approve") return Mode::Approve;
  if (value == "deny") return Mode::Deny;
  return fail("--auto takes approve or deny, not \"" + std::string(value) + "\"");
}

}  // namespace

Result<Options, std::string> parse_options(int argc, const char* const* argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      options.command = Command::Help;
      return options;
    }
    if (arg == "--version") {
      options.command = Command::Version;
      return options;
    }
    if (arg == "--once") {
      options.once = true;
    } else if (arg == "--socket" || arg == "--auto") {
      if (!has_value) return fail(std::string(arg) + " needs a value");
      const std::string_view value = argv[++i];
      if (arg == "--auto") {
        KOA_TRY(mode, parse_mode(value));
        options.mode = mode;
      } else {
        if (auto problem = service::socket_path_problem(value))
          return fail("--socket: " + *problem);
        options.socket = std::string(value);
      }
    } else {
      return fail("unknown argument \"" + std::string(arg) + "\"");
    }
  }
  return options;
}

}  // namespace kelvane::demo
