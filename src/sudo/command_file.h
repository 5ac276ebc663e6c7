// The file that sudo will execute, found the way the kernel finds it, and
// whether anyone but root could change it, or the way to it, after the
// operator has approved: an approval binds a path, and a path is only as
// good as the links and directories along it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/result.h"

namespace kelvane::sudo {

struct SymbolicLink {
  std::string link;    // where it was met, every earlier link followed
  std::string target;  // as it reads
};

struct CommandFile {
  std::string resolved;  // absolute, every link followed, no "." or ".."
  std::vector<SymbolicLink> links;
  // The first thing along the way that someone other than root could
  // change, said for the user ("the file /tmp/u/tool is owned by nobody
  // (uid 65534), not root"); nullopt when there is none. Everything must be
  // owned by root and, but for a link whose own mode means nothing, not
  // writable by group or others, as sudo demands of its plugins: "/", every
  // directory on the way, every link met, and the file itself.
  std::optional<std::string> changeable;
};

// Walks an absolute path with lstat and readlink. An error (a missing file,
// a loop of links) is the reason, for the user.
Result<CommandFile, std::string> examine_command_file(const std::string& path);

// What the operator is shown of a command file that someone other than root
// could change: its owner, its mode and the SHA-256 of its contents.
struct FileFacts {
  uid_t owner = 0;
  mode_t mode = 0;  // permission bits, with set-id and sticky
  std::string sha256;
};

// Reads the file without following a link and without blocking, so that a
// FIFO cannot hang sudo; only a regular file is read.
Result<FileFacts, std::string> hash_command_file(const std::string& path);

// The mode as the digest and the context give it: four octal digits.
std::string mode_text(mode_t mode);

// "nobody (uid 65534)", or "uid 65534" where the uid has no name.
std::string owner_words(uid_t uid);

}  // namespace kelvane::sudo
