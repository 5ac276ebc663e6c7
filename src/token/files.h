// The small files of the token keys: read whole within a bound, and
// replaced atomically (a temporary file written and synced, renamed over the
// old one, the directory synced), so that a reader or a crash sees the old
// file or the new one, never a part.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::token {

// The whole file, refused when larger than kMaxPublishedBytes or when it is
// not a regular file (a pipe put there would block the reader forever). On
// failure errno tells why (ENOENT: there is no such file).
Result<std::string, std::string> read_small_file(const std::string& path);

// As read_small_file, for a file that holds a secret: it must belong to
// this process's user, and a mode that lets anyone else in is mended to
// 0600 before it is read.
Result<std::string, std::string> read_private_file(const std::string& path);

// Replaces `directory`/`name` with `content`, the file given `mode` whatever
// the umask.
Result<void, std::string> replace_file(const std::string& directory, std::string_view name,
                                       std::string_view content, mode_t mode);

// Makes `path` a directory of `mode` owned by this process's user: made if
// missing, its mode set if not (a directory someone else owns, or a link,
// is refused).
Result<void, std::string> ensure_own_directory(const std::string& path, mode_t mode);

}  // namespace kelvane::token
