// kelvane_approval.so, a sudo approval plugin: before sudo runs a command
// that its policy allowed, the approval service is asked, and the command
// runs only if the operator approved it. Enabled by a line in sudo.conf:
//   Plugin kelvane_approval kelvane_approval.so socket=/run/kelvane-operator-approval.sock
//
// sudo calls open(), then check() or show_version(), then close(). No C++
// exception may reach sudo: each entry point catches everything and fails
// closed.
#include <sudo_plugin.h>

#include <optional>
#include <string>
#include <vector>

#include "approval/connection.h"
#include "sudo/command_check.h"
#include "sudo/interrupt.h"
#include "sudo/operation.h"
#include "sudo/plugin_options.h"
#include "sudo/sudo_request.h"
#include "sudo/verdict.h"

namespace kelvane::sudo {
namespace {

constexpr unsigned int kErrstrSince = SUDO_API_MKVERSION(1, 15);
constexpr auto kInternalError = prefixed("internal error; the command was not run");

struct PluginState {
  unsigned int api_version = 0;
  sudo_printf_t print = nullptr;
  PluginOptions options;
  // Copied, since check() comes after open() has returned.
  std::vector<std::string> user_info;
  std::vector<char*> user_info_vector;
  // The reason the command does not run, handed to sudo through errstr,
  // which must stay valid until close().
  std::string errstr;
};

// From open() to close(). sudo runs one command per process, single-threaded.
std::optional<PluginState> g_state;

void say(std::string_view text) {
  if (!g_state || g_state->print == nullptr || text.empty()) return;
  const std::string line(text);
  g_state->print(SUDO_CONV_ERROR_MSG, "%s", line.c_str());
}

void tell_audit(const char** errstr, std::string reason) {
  if (!g_state || errstr == nullptr || g_state->api_version < kErrstrSince) return;
  g_state->errstr = std::move(reason);
  *errstr = g_state->errstr.c_str();
}

// For failures that the code above did not foresee: nothing may reach sudo,
// and whatever the cause, the command does not run.
int internal_error(sudo_printf_t print, const char** errstr) noexcept {
  if (print != nullptr) print(SUDO_CONV_ERROR_MSG, "%s\n", kInternalError.data());
  if (errstr != nullptr && g_state && g_state->api_version >= kErrstrSince)
    *errstr = kInternalError.data();
  return kError;
}

void keep_user_info(PluginState& state, char* const user_info[]) {
  for (char* const* entry = user_info; entry != nullptr && *entry != nullptr; ++entry) {
    state.user_info.emplace_back(*entry);
  }
  for (std::string& entry : state.user_info) state.user_info_vector.push_back(entry.data());
  state.user_info_vector.push_back(nullptr);
}

// How a refusal of the service's uid names the uid that was trusted, and how
// to trust another.
struct PeerWords {
  std::string described_as;
  std::string_view opt_in;
};

PeerWords trusted_peer_words(const PluginOptions& options) {
  if (options.service_uid) {
    return {"service_uid=" + std::to_string(*options.service_uid),
            "change service_uid= on the plugin's line in sudo.conf to trust another uid"};
  }
  return {"the service_uid= of sudo.conf (none is set)",
          "add service_uid=UID to the plugin's line in sudo.conf to trust that uid"};
}

// What the user reads, what the audit plugins are told, what sudo is told.
int report(Verdict verdict, const char** errstr) {
  say(verdict.message);
  if (verdict.status != kRun) tell_audit(errstr, std::move(verdict.reason));
  return verdict.status;
}

int check_command(const PluginState& state, char* const command_info[], char* const run_argv[],
                  char* const run_envp[], const char** errstr) {
  Result<Operation, std::string> operation =
      read_operation(state.user_info_vector.data(), command_info, run_argv, run_envp);
  if (!operation.ok()) return report(refusal(operation.error()), errstr);
  Result<void, std::string> checked =
      check_command_file(operation.value(), state.options.user_writable);
  if (!checked.ok()) return report(refusal(checked.error()), errstr);
  approval::OperatorApprovalRequest request = build_request(operation.value(), state.options);
  // Root, or the one uid that sudo.conf names, and nobody else, may answer.
  const PeerWords words = trusted_peer_words(state.options);
  const approval::ServiceAddress address{
      state.options.socket,
      approval::TrustedPeer{state.options.service_uid.value_or(0), words.described_as,
                            words.opt_in},
      &InterruptGuard::watch};
  // Lives until the verdict is printed; then sudo's handlers are back and
  // learn of a signal that came, so that even a late Ctrl-C stops sudo
  // before the command starts.
  InterruptGuard guard;
  // Someone at a terminal learns why sudo stops; a script's log stays as it was.
  if (!operation.value().tty.empty()) say(kWaiting);
  Result<approval::OperatorApprovalDecision, io::Error> outcome =
      approval::request_decision(std::move(request), address);
  // Interrupted is interrupted, even if an approval came in meanwhile.
  if (guard.caught() != 0) return report(interruption(guard.caught()), errstr);
  return report(verdict_of(outcome), errstr);
}

int plugin_open(unsigned int version, sudo_conv_t, sudo_printf_t print, char* const[],
                char* const user_info[], int, char* const[],
                char* const[] /* the user's environment: never read */,
                char* const plugin_options[], const char** errstr) {
  try {
    PluginState& state = g_state.emplace();
    state.api_version = version;
    state.print = print;
    if (SUDO_API_VERSION_GET_MAJOR(version) != SUDO_API_VERSION_MAJOR) {
      const std::string message = std::string(kMessagePrefix) + "sudo's plugin API is version " +
                                  std::to_string(SUDO_API_VERSION_GET_MAJOR(version)) + ", not " +
                                  std::to_string(SUDO_API_VERSION_MAJOR) + std::string(kNotRun);
      say(message + '\n');
      tell_audit(errstr, message);
      return kError;
    }
    Result<PluginOptions, std::string> options = parse_plugin_options(plugin_options);
    if (!options.ok()) {
      const std::string message =
          std::string(kMessagePrefix) + "sudo.conf: " + options.error() + std::string(kNotRun);
      say(message + '\n');
      tell_audit(errstr, message);
      return kError;
    }
    state.options = std::move(options).value();
    keep_user_info(state, user_info);
    return kRun;
  } catch (...) {
    return internal_error(print, errstr);
  }
}

void plugin_close() {
  g_state.reset();
}

int plugin_check(char* const command_info[], char* const run_argv[], char* const run_envp[],
                 const char** errstr) {
  const sudo_printf_t print = g_state ? g_state->print : nullptr;
  try {
    if (!g_state) return internal_error(print, errstr);
    return check_command(*g_state, command_info, run_argv, run_envp, errstr);
  } catch (...) {
    return internal_error(print, errstr);
  }
}

int plugin_show_version(int) {
  if (!g_state || g_state->print == nullptr) return kError;
  g_state->print(SUDO_CONV_INFO_MSG, "%s\n",
                 "kelvane_approval approval plugin version " KOA_VERSION);
  return kRun;
}

}  // namespace
}  // namespace kelvane::sudo

// The one symbol the shared object exports; its name is the first word
// after "Plugin" in sudo.conf. A name of our own, since sudo ignores a second
// plugin whose symbol has the same name as an earlier one.
extern "C" {
__attribute__((visibility("default"))) approval_plugin kelvane_approval = {
    SUDO_APPROVAL_PLUGIN,        SUDO_API_VERSION,
    kelvane::sudo::plugin_open,  kelvane::sudo::plugin_close,
    kelvane::sudo::plugin_check, kelvane::sudo::plugin_show_version,
};
}
