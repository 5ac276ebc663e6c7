// Where the daemon may put its sockets and its record, and how it gives a
// file its owner and mode without being led elsewhere by a link.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "support/result.h"

namespace kelvane::service {

// What a folder is to hold.
enum class Holding {
  Socket,  // a socket (bind never follows a link and never replaces a file)
  Folder,  // a folder the daemon makes (and then checks as Files)
  Files,   // the record, its write-ahead log and keys: opened by name
};

// Why a user other than root and this process's own could replace or plant
// a file in `folder`, or nothing. `folder` and every folder above it (as
// written and with its links resolved) must belong to root or to this
// process's user and be writable by nobody else. A root-owned sticky folder
// such as /tmp, in which nobody may remove or rename what another made, is
// accepted above the folder, and as the folder itself for a socket or a
// folder. A link on the way must belong to root or to this user too.
std::optional<std::string> unsafe_folder_problem(const std::string& folder, Holding holding);

// Gives the socket file at `path`, which this process has just bound (the
// file of `inode` on `device`), the group `group` (unless -1) and `mode`.
// Acts on the file itself through an O_PATH descriptor, never through a
// link put in its place; refuses anything but that same socket.
Result<void, std::string> set_socket_group_and_mode(const std::string& path, dev_t device,
                                                    ino_t inode, gid_t group, mode_t mode);

// Opens (creating with `mode` if need be) the regular file `path` without
// following a link, and takes from it any permission beyond `mode`: a file
// made by an earlier version, under a loose umask, or copied in, ends up
// as private as a new one. A missing file is left missing when `create` is
// false.
Result<void, std::string> make_private_file(const std::string& path, mode_t mode, bool create);

}  // namespace kelvane::service
