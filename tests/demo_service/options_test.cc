#include "demo_service/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane::demo {
namespace {

Result<Options, std::string> parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"kelvane-operator-approval-demo"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  return parse_options(static_cast<int>(argv.size()), argv.data());
}

TEST(DemoOptions, Accepted) {
  struct Case {
    std::vector<std::string> args;
    Command command;
    Mode mode;
    bool once;
    std::optional<std::string> socket;
  };
  const Case cases[] = {
      {{}, Command::Serve, Mode::Ask, false, std::nullopt},
      {{"--auto", "approve", "--once"}, Command::Serve, Mode::Approve, true, std::nullopt},
      {{"--socket", "/tmp/s", "--auto", "deny"}, Command::Serve, Mode::Deny, false, "/tmp/s"},
      {{"--socket", std::string(107, 'p')},
       Command::Serve,
       Mode::Ask,
       false,
       std::string(107, 'p')},
      // --help and --version win over whatever follows them.
      {{"--help", "--bogus"}, Command::Help, Mode::Ask, false, std::nullopt},
      {{"--version"}, Command::Version, Mode::Ask, false, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto parsed = parse(c.args);
    ASSERT_TRUE(parsed.ok()) << c.args.size() << ": " << parsed.error();
    EXPECT_EQ(parsed.value().command, c.command);
    EXPECT_EQ(parsed.value().mode, c.mode);
    EXPECT_EQ(parsed.value().once, c.once);
    EXPECT_EQ(parsed.value().socket, c.socket);
  }
}

TEST(DemoOptions, RefusedWithTheReason) {
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  };
  const Case cases[] = {
      {{"--auto", "maybe"}, "--auto takes approve or deny, not \"maybe\""},
      {{"--auto"}, "--auto needs a value"},
      {{"--socket"}, "--socket needs a value"},
      {{"--socket", ""}, "--socket: the socket path is empty"},
      {{"--socket", std::string(108, 'p')},
       "--socket: the socket path is 108 bytes long; it must be shorter than 108 bytes"},
      {{"--verbose"}, "unknown argument \"--verbose\""},
      {{"approve"}, "unknown argument \"approve\""},
  };
  for (const Case& c : cases) {
    const auto parsed = parse(c.args);
    ASSERT_FALSE(parsed.ok()) << c.reason;
    EXPECT_EQ(parsed.error(), c.reason);
  }
}

TEST(DemoOptions, UsageNamesEveryOption) {
  for (const char* option : {"--socket", "--auto", "--once", "--help", "--version"}) {
    EXPECT_NE(kUsage.find(option), std::string_view::npos) << option;
  }
}

}  // namespace
}  // namespace kelvane::demo
