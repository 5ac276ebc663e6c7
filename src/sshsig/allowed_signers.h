// The allowed-signers file `ssh-keygen -Y verify -f` reads: which keys may
// sign for which people. One key a line:
//   PRINCIPALS [OPTIONS] KEYTYPE BASE64KEY [COMMENT]
// PRINCIPALS is a comma-separated list of patterns ('*', '?', and '!' to
// exclude), optionally in double quotes. The options are read as ssh-keygen
// reads them: names in any case, values in double quotes:
//   namespaces="a,b*"           the namespaces (patterns) the key may sign in
//   valid-after="YYYYMMDD[HHMM[SS]][Z]", valid-before="..."
//                               local time, or UTC with Z
// `cert-authority` is refused (certificates are not supported here), and
// so is `no-touch-required`, which ssh-keygen does not accept in this file
// either: a security key's vote always needs its touch. Any line that cannot
// be read refuses the whole file, so that a typing slip never passes for a
// key that was meant to be there or not.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sshsig/public_key.h"
#include "support/result.h"

namespace kelvane::sshsig {

struct AllowedSigner {
  std::size_t line = 0;
  std::string principals;  // the pattern list as written, quotes removed
  std::optional<std::string> namespaces;
  std::optional<std::int64_t> valid_after;  // seconds since the epoch
  std::optional<std::int64_t> valid_before;
  PublicKey key;
};

// Far above any real file, and it bounds what a verifier reads.
inline constexpr std::size_t kMaxAllowedSignersBytes = 1 << 20;

// Every key line of `text`, or "line N: what is wrong".
Result<std::vector<AllowedSigner>, std::string> read_allowed_signers(std::string_view text);

// ssh's pattern lists: true when `name` matches one of the comma-separated
// patterns of `list` and no negated one ("!pattern").
bool pattern_list_matches(std::string_view list, std::string_view name);

// A "YYYYMMDD[HHMM[SS]][Z]" time as seconds since the epoch (local time
// without Z), or why not.
Result<std::int64_t, std::string> read_signer_time(std::string_view text);

// The line that lets `principal` sign with `key` in `name_space` at `when`
// (seconds since the epoch); otherwise why no line does (the reason from the
// last line naming that principal and key, as ssh-keygen reports it).
Result<const AllowedSigner*, std::string> find_signer(std::span<const AllowedSigner> signers,
                                                      std::string_view principal,
                                                      const PublicKey& key,
                                                      std::string_view name_space,
                                                      std::int64_t when);

}  // namespace kelvane::sshsig
