// A text that someone else chose, as a message or a record line shows it:
// between double quotes, in its visible form, so that nothing it holds can
// end the quotes, start a line or hide from the reader.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvane {

// `text` between double quotes, escaped as visible::append_quoted does.
std::string quoted(std::string_view text);

// At most `max_bytes` of `text`, cut at a character boundary, quoted as
// above, followed by "..." outside the quotes when something was cut.
std::string quoted_prefix(std::string_view text, std::size_t max_bytes);

}  // namespace kelvane
