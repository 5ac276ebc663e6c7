// The subcommands that read the published token keys themselves, without
// the daemon: verify and public-key. (rotate-key and revoke ask the daemon
// like the others.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "operators/options.h"
#include "operators/run.h"
#include "support/result.h"

namespace kelvane::operators {

// verify: 0 and the claims on standard output when the token is genuine,
// unexpired, not revoked and matches --digest and --target-host; otherwise
// 1 and one line on standard error saying why.
int verify_command(const Invocation& invocation, const Streams& streams, std::uint64_t now);

// public-key: the published keys as the file holds them.
int public_key_command(const Invocation& invocation, const Streams& streams);

// The token given as "-": standard input whole, without one final line
// feed. At most `limit` bytes are read; more is refused.
Result<std::string, std::string> read_token_input(int fd, std::size_t limit);

}  // namespace kelvane::operators
