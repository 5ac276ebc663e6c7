// The operation's digest, which lets a service bind its approval to exactly
// this command: "sha256:" and the lowercase hex SHA-256 of its canonical
// encoding.
//
// The canonical encoding is a run of netstrings (the length in decimal
// digits, ':', the bytes, ','), in this order:
//   "kelvane-sudo-operation-v2", the command path, the run-as uid and the
//   run-as gid in decimal, the working directory, the number of arguments in
//   decimal, each argument (argv[0] first), the number of environment
//   entries in decimal, then each entry (NAME=value) in sudo's order.
// For /usr/bin/id run as uid 0, gid 0 in / with the arguments "id" and "-u"
// and the one entry PATH=/usr/bin:
//   25:kelvane-sudo-operation-v2,11:/usr/bin/id,1:0,1:0,1:/,1:2,2:id,2:-u,1:1,13:PATH=/usr/bin,
// Each piece says where it ends, so no two operations share an encoding.
#pragma once

#include <string>
#include <string_view>

#include "sudo/operation.h"

namespace kelvane::sudo {

inline constexpr std::string_view kEncodingTag = "kelvane-sudo-operation-v2";

std::string canonical_encoding(const Operation& operation);

std::string operation_digest(const Operation& operation);

}  // namespace kelvane::sudo
