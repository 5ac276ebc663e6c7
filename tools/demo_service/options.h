// The demo service's command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::demo {

enum class Mode { Ask, Approve, Deny };

enum class Command { Serve, Help, Version };

struct Options {
  Command command = Command::Serve;
  std::optional<std::string> socket;
  Mode mode = Mode::Ask;
  bool once = false;
};

// The usage text, ending in a line feed.
extern const std::string_view kUsage;

// The options, or a one-line reason (without the program name) saying which
// argument was wrong and why.
Result<Options, std::string> parse_options(int argc, const char* const* argv);

}  // namespace kelvane::demo
