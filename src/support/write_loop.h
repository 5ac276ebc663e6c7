// The loop behind every "write it all": to a socket, to standard output,
// to a file.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <algorithm>
#include <span>
#include <string_view>

#include "support/io_error.h"
#include "support/result.h"
#include "support/retry.h"

namespace kelvane::io {

// Hands `pieces`, in order, to `write_some` (a writev or sendmsg of the
// `count` pieces starting at the first argument, giving the number of bytes
// taken, or -1 with errno) until all have gone, repeating interrupted and
// partial writes. `pieces` is used up on the way. A write that takes
// nothing would loop for ever; it is an error.
template <class WriteSome>
Result<void, Error> write_every_piece(std::span<iovec> pieces, WriteSome&& write_some) {
  std::size_t first = 0;
  for (;;) {
    while (first < pieces.size() && pieces[first].iov_len == 0) ++first;
    if (first == pieces.size()) return {};
    const ssize_t n = repeat_if_interrupted(
        [&] { return write_some(pieces.data() + first, static_cast<int>(pieces.size() - first)); });
    if (n < 0) return fail(Error::last_os_error());
    if (n == 0) return fail(Error::fixed(ErrorKind::WriteZero, "failed to write whole buffer"));
    for (auto taken = static_cast<std::size_t>(n); taken > 0 && first < pieces.size(); ++first) {
      iovec& piece = pieces[first];
      const std::size_t step = std::min(taken, piece.iov_len);
      piece.iov_base = static_cast<char*>(piece.iov_base) + step;
      piece.iov_len -= step;
      taken -= step;
      if (piece.iov_len != 0) break;
    }
  }
}

// The same for one piece, with `write_some` a write or send of up to n bytes.
template <class WriteSome>
Result<void, Error> write_every_byte(std::string_view bytes, WriteSome&& write_some) {
  iovec piece{const_cast<char*>(bytes.data()), bytes.size()};
  return write_every_piece(std::span<iovec>(&piece, 1), [&](const iovec* rest, int) {
    return write_some(static_cast<const char*>(rest->iov_base), rest->iov_len);
  });
}

// Writes all of `bytes` to `fd` with write(2): standard output and error,
// files. What is written has reached the descriptor when it returns, so
// there is nothing left to flush.
Result<void, Error> write_fully(int fd, std::string_view bytes);

}  // namespace kelvane::io
