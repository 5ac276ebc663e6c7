// The options on the plugin's line in sudo.conf, after the path of the
// shared object:
//   Plugin kelvane_approval kelvane_approval.so socket=PATH service_uid=UID timeout=SECS
//     user_writable=refuse|ask
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::sudo {

inline constexpr std::string_view kDefaultSocket = "/run/kelvane-operator-approval.sock";

// A command that someone other than root could change (command_check.h).
enum class UserWritable { kRefuse, kAsk };

struct PluginOptions {
  std::string socket = std::string(kDefaultSocket);
  // Besides root, the one uid whose service may answer.
  std::optional<uid_t> service_uid;
  // Sent to the service as timeoutSecs; never applied to the socket.
  std::optional<std::uint64_t> timeout_secs;
  // user_writable=ask: put such a command to the operator, with a warning,
  // instead of refusing it.
  UserWritable user_writable = UserWritable::kRefuse;
};

// Reads the words of the plugin's sudo.conf line (null: none). An unknown,
// repeated or malformed option is an error that names the word: a mistyped
// option must not quietly leave the default in force. The socket path must
// be absolute, since a relative one would be looked up from whatever
// directory the invoking user ran sudo in.
Result<PluginOptions, std::string> parse_plugin_options(char* const* words);

}  // namespace kelvane::sudo
