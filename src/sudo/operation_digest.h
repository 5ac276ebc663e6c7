// The operation's digest, which lets a service bind its approval to exactly
// this command: "sha256:" and the lowercase hex SHA-256 of its canonical
// encoding.
//
// The canonical encoding is a run of netstrings (the length in decimal
// digits, ':', the bytes, ','), in this order; numbers are in decimal:
//   "kelvane-sudo-operation-v3",
//   the command path as sudo gives it, the file that runs (absolute, every
//   link followed), the number of links met, then each link and its target,
//   the run-as uid, the run-as gid, the working directory,
//   the number of arguments, each argument (argv[0] first),
//   the number of environment entries, each entry (NAME=value),
//   the number of settings, each setting (NAME=value of command_info),
//   the invoking user's uid, the invoking user's name,
//   the number of facts of a command that someone other than root could
//   change (0, or 3 under user_writable=ask), then its owner's uid, its mode
//   in four octal digits and the SHA-256 of its contents in lowercase hex.
// For /usr/bin/id run as uid 0, gid 0 in / with the arguments "id" and "-u",
// the one entry PATH=/usr/bin, the one setting umask=022, by alice (uid 1000):
//   25:kelvane-sudo-operation-v3,11:/usr/bin/id,11:/usr/bin/id,1:0,1:0,1:0,1:/,
//   1:2,2:id,2:-u,1:1,13:PATH=/usr/bin,1:1,9:umask=022,4:1000,5:alice,1:0,
// Each piece says where it ends, so no two operations share an encoding.
#pragma once

#include <string>
#include <string_view>

#include "sudo/operation.h"

namespace kelvane::sudo {

inline constexpr std::string_view kEncodingTag = "kelvane-sudo-operation-v3";

std::string canonical_encoding(const Operation& operation);

std::string operation_digest(const Operation& operation);

}  // namespace kelvane::sudo
