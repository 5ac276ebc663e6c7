// `kelvane-operator-approvals explain`: which policy rule of a configuration
// decides a request, and why, without asking the daemon anything.
//
//   explain [--config FILE] [--uid N] [--run-as USER]
//           [client-style options | a request line on standard input]
//           [--sudo-command PATH ARGS...]
//
// The requester is the uid given (the caller's own by default) with its
// user's groups from this host's user database. --sudo-command says the
// request is from sudo running PATH with ARGS (as --run-as, root by
// default); it takes every argument after it. Client-style options are
// those of kelvane-operator-approve; without them the request line is read
// from standard input, unless --sudo-command alone is given (then the
// request is the one the plugin sends: action "sudo", this host).
#pragma once

#include <span>
#include <string_view>

#include "operators/run.h"

namespace kelvane::operators {

// Prints the explanation; 0 when printed, 2 for a usage error or a
// configuration that does not load (every error of it printed).
int explain(std::span<const std::string_view> args, const Streams& streams);

}  // namespace kelvane::operators
