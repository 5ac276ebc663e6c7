#include "sudo/operation.h"

#include <limits>
#include <string_view>

#include "sudo/command_info_table.h"
#include "sudo/settings.h"
#include "sudo/shell_quote.h"
#include "support/decimal.h"
#include "support/utf8.h"

namespace kelvane::sudo {
namespace {

constexpr std::uint64_t kMaxId = std::numeric_limits<uid_t>::max() - 1;

using Refusal = Failure<std::string>;

Refusal not_utf8(std::string_view what, std::string_view text) {
  return fail(std::string(what) + " is not valid UTF-8: " + shell_quote(text));
}

Result<std::string, std::string> text_of(char* const* vector, std::string_view vector_name,
                                         std::string_view name, std::string_view what) {
  const std::optional<std::string_view> value = find_setting(vector, name);
  if (!value) return fail("sudo gave no " + std::string(name) + "= in " + std::string(vector_name));
  if (!utf8::is_valid(*value)) return not_utf8(what, *value);
  return std::string(*value);
}

Result<std::uint64_t, std::string> id_of(char* const* command_info, std::string_view name) {
  const std::optional<std::string_view> value = find_setting(command_info, name);
  if (!value) return fail("sudo gave no " + std::string(name) + "= in command_info");
  const std::optional<std::uint64_t> id = parse_decimal(*value, kMaxId);
  if (!id)
    return fail("sudo gave " + std::string(name) + "=" + shell_quote(*value) + ", not a number");
  return *id;
}

// An effective id, when sudo gives one, must be the real one: the request
// names only one.
Result<void, std::string> same_effective_id(char* const* command_info, std::string_view name,
                                            std::uint64_t real) {
  const std::optional<std::string_view> value = find_setting(command_info, name);
  if (!value) return {};
  if (parse_decimal(*value, kMaxId) == real) return {};
  return fail("the command would run with " + std::string(name) + "=" + shell_quote(*value) +
              ", which the request cannot show");
}

// The texts of a NULL-terminated vector, each named `name`[i] if refused.
Result<std::vector<std::string>, std::string> texts_of(char* const* vector, std::string_view name) {
  std::vector<std::string> texts;
  for (char* const* entry = vector; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (!utf8::is_valid(text)) {
      return not_utf8(std::string(name) + "[" + std::to_string(texts.size()) + "]", text);
    }
    texts.emplace_back(text);
  }
  return texts;
}

// The refused rows of the table: another root directory or security context
// is refused outright, preserve_groups only when true; runas_euid and
// runas_egid are held to the real ids by read_run_as.
Result<void, std::string> refuse_entry(std::string_view name, std::string_view value) {
  if (name == "runas_euid" || name == "runas_egid") return {};  // read_run_as
  if (name == "preserve_groups" && value != "true") return {};
  if (name == "preserve_groups") {
    return fail(std::string(
        "the command would run with preserve_groups=true, which the request cannot show"));
  }
  return fail("the command would run under " + std::string(name) + "=" + shell_quote(value) +
              ", which the request cannot show");
}

// Every entry of command_info by the table: refused, kept as a setting
// (shown and digested), or left out. An unknown entry is kept as it stands.
Result<void, std::string> read_settings(Operation& op, char* const* command_info) {
  for (char* const* entry = command_info; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : text.substr(equals + 1);
    const CommandInfoEntry* known = command_info_entry(name);
    if (known != nullptr && known->handling == Handling::kRefused) {
      KOA_TRY_VOID(refuse_entry(name, value));
    }
    // preserve_groups=false, which is not refused, is shown like the rest.
    const bool kept =
        known == nullptr || known->handling == Handling::kShown || name == "preserve_groups";
    if (!kept) continue;
    if (!utf8::is_valid(text)) return not_utf8("command_info entry", text);
    op.settings.emplace_back(text);
  }
  op.sudoedit = find_setting(command_info, "sudoedit") == "true";
  return {};
}

Result<void, std::string> read_command(Operation& op, char* const* command_info,
                                       char* const* run_argv) {
  KOA_TRY(command, text_of(command_info, "command_info", "command", "the command path"));
  if (command.empty()) return fail(std::string("sudo gave an empty command="));
  op.command = std::move(command);
  KOA_TRY_VOID(read_settings(op, command_info));
  KOA_TRY(argv, texts_of(run_argv, "argv"));
  if (argv.empty()) return fail(std::string("sudo gave an empty argument vector"));
  op.argv = std::move(argv);
  return {};
}

Result<void, std::string> read_env(Operation& op, char* const* run_envp) {
  KOA_TRY(env, texts_of(run_envp, "the environment"));
  op.env = std::move(env);
  return {};
}

Result<void, std::string> read_run_as(Operation& op, char* const* command_info) {
  KOA_TRY(user, text_of(command_info, "command_info", "runas_user", "the run-as user"));
  op.runas_user = std::move(user);
  KOA_TRY(uid, id_of(command_info, "runas_uid"));
  KOA_TRY(gid, id_of(command_info, "runas_gid"));
  op.runas_uid = static_cast<uid_t>(uid);
  op.runas_gid = static_cast<gid_t>(gid);
  KOA_TRY_VOID(same_effective_id(command_info, "runas_euid", uid));
  return same_effective_id(command_info, "runas_egid", gid);
}

// Where the command starts: an intercepted command's own directory
// (runcwd=), the one the policy named (cwd=), or else where the user ran sudo.
// Only an absolute path says where that is.
Result<void, std::string> read_cwd(Operation& op, char* const* user_info,
                                   char* const* command_info) {
  char* const* source = command_info;
  std::string_view vector_name = "command_info";
  std::string_view name = "runcwd";
  if (!find_setting(command_info, name)) name = "cwd";
  if (!find_setting(command_info, name)) {
    source = user_info;
    vector_name = "user_info";
  }
  if (!find_setting(source, name)) {
    return fail(std::string(
        "the working directory is not known: sudo gave no runcwd= or cwd= in command_info nor "
        "cwd= in user_info"));
  }
  KOA_TRY(cwd, text_of(source, vector_name, name, "the working directory"));
  op.cwd = std::move(cwd);
  if (!op.cwd.starts_with('/')) {
    return fail("the working directory is not known: sudo gave " + std::string(name) + "=" +
                shell_quote(op.cwd));
  }
  return {};
}

Result<void, std::string> read_invoker(Operation& op, char* const* user_info) {
  KOA_TRY(user, text_of(user_info, "user_info", "user", "the user name"));
  op.user = std::move(user);
  const std::optional<std::string_view> uid = find_setting(user_info, "uid");
  if (!uid) return fail(std::string("sudo gave no uid= in user_info"));
  const std::optional<std::uint64_t> uid_value = parse_decimal(*uid, kMaxId);
  if (!uid_value) return fail("sudo gave uid=" + shell_quote(*uid) + " in user_info, not a number");
  op.user_uid = static_cast<uid_t>(*uid_value);
  KOA_TRY(host, text_of(user_info, "user_info", "host", "the host name"));
  op.host = std::move(host);
  if (const auto tty = find_setting(user_info, "tty")) {
    if (!utf8::is_valid(*tty)) return not_utf8("the terminal", *tty);
    op.tty = std::string(*tty);
  }
  if (const auto pid = find_setting(user_info, "pid")) {
    op.pid = parse_decimal(*pid, std::numeric_limits<std::uint32_t>::max());
  }
  return {};
}

}  // namespace

std::string absolute_command(const Operation& operation) {
  if (operation.command.starts_with('/')) return operation.command;
  std::string path = operation.cwd;
  if (!path.ends_with('/')) path += '/';
  return path + operation.command;
}

Result<Operation, std::string> read_operation(char* const* user_info, char* const* command_info,
                                              char* const* run_argv, char* const* run_envp) {
  Operation op;
  KOA_TRY_VOID(read_command(op, command_info, run_argv));
  KOA_TRY_VOID(read_env(op, run_envp));
  KOA_TRY_VOID(read_run_as(op, command_info));
  KOA_TRY_VOID(read_cwd(op, user_info, command_info));
  KOA_TRY_VOID(read_invoker(op, user_info));
  return op;
}

}  // namespace kelvane::sudo
