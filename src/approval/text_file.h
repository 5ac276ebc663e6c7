// The text of the files named by --detail-file and --context-file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "approval/request_options.h"
#include "support/io_error.h"
#include "support/result.h"

namespace kelvane::approval {

// Reads the whole file, whatever its kind (regular file, device, pipe), to its
// end and checks that it is UTF-8. The descriptor is closed before returning.
// The text comes after `headroom` zero bytes, kept in front of it for a
// caller that will write over it.
Result<std::string, io::Error> read_text_file(std::string_view path, std::size_t headroom = 0);

// The value of a file option: the file's text, unchanged. A blank path is a
// usage error; a file that cannot be read as text names the option, the path
// as given and the reason. `headroom` as above.
Result<std::string, UsageError> read_text_arg(std::string_view option, std::string_view path,
                                              std::size_t headroom = 0);

}  // namespace kelvane::approval
