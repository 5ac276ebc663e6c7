// A text from a request as the operator reads it.
//
// Each text is shown as one or more quoted pieces, one piece per line; the
// text is the pieces joined. Inside a piece, quote and backslash are escaped,
// and so is every character that is not printable (control and format
// characters, bidirectional controls, zero-width characters, line and
// paragraph separators, unassigned code points) or that would combine with
// what comes before it. A line feed ends its piece, so a detail keeps its
// lines, and a piece never grows past the width given, so the terminal never
// wraps it. Nothing a request sends can start a line of its own or draw
// something that looks like a field of the request.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::service {

struct Piece {
  std::string text;   // quoted and escaped
  std::size_t width;  // at most the columns it takes on a terminal
};

// `width` is in terminal columns, quotes included; every piece holds at least
// one character, whatever the width. Bytes that are not UTF-8 (texts from
// /proc need not be) are shown as \x{..}. For one piece, line feeds
// included, as one-line records such as the log show a text: quoted() in
// support/quoting.h.
std::vector<Piece> quoted_pieces(std::string_view text, std::size_t width);

}  // namespace kelvane::service
