#include "operators/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane::operators {
namespace {

Result<Invocation, UsageError> parse(std::vector<std::string_view> args) {
  return parse_invocation(args);
}

struct Accepted {
  std::vector<std::string_view> args;
  Subcommand subcommand;
  std::string id;
  std::optional<std::string> reason;
  bool json;
  std::optional<std::int64_t> since;
  std::optional<std::string> socket;
};

TEST(Options, AcceptedCommandLines) {
  const Accepted cases[] = {
      {{"list"}, Subcommand::List, "", {}, false, {}, {}},
      {{"list", "--json"}, Subcommand::List, "", {}, true, {}, {}},
      {{"show", "7", "--json"}, Subcommand::Show, "7", {}, true, {}, {}},
      {{"--socket", "/s", "list"}, Subcommand::List, "", {}, false, {}, "/s"},
      {{"--socket=/a", "--socket", "/b", "status"}, Subcommand::Status, "", {}, false, {}, "/b"},
      {{"show", "17"}, Subcommand::Show, "17", {}, false, {}, {}},
      {{"approve", "17"}, Subcommand::Approve, "17", {}, false, {}, {}},
      {{"approve", "--reason", "ok", "17"}, Subcommand::Approve, "17", "ok", false, {}, {}},
      {{"deny", "9", "--reason", "not now"}, Subcommand::Deny, "9", "not now", false, {}, {}},
      {{"deny", "9", "--reason=--json"}, Subcommand::Deny, "9", "--json", false, {}, {}},
      {{"cancel", "3"}, Subcommand::Cancel, "3", {}, false, {}, {}},
      {{"watch"}, Subcommand::Watch, "", {}, false, {}, {}},
      {{"history"}, Subcommand::History, "", {}, false, {}, {}},
      {{"history", "--since", "2026-12-07T20:00:00Z", "--json"},
       Subcommand::History,
       "",
       {},
       true,
       1796673600,
       {}},
      {{"history", "--since=1960-01-01T00:00:00Z"}, Subcommand::History, "", {}, false, 0, {}},
      {{"--help"}, Subcommand::Help, "", {}, false, {}, {}},
      {{"help"}, Subcommand::Help, "", {}, false, {}, {}},
      {{"--version"}, Subcommand::Version, "", {}, false, {}, {}},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    auto parsed = parse(c.args);
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    const Invocation& i = parsed.value();
    EXPECT_EQ(i.subcommand, c.subcommand);
    EXPECT_EQ(i.id, c.id);
    EXPECT_EQ(i.reason, c.reason);
    EXPECT_EQ(i.json, c.json);
    EXPECT_EQ(i.since, c.since);
    EXPECT_EQ(i.socket, c.socket);
  }
  for (const auto& [args, limit] :
       std::vector<std::pair<std::vector<std::string_view>, std::uint64_t>>{
           {{"history", "--limit", "25"}, 25}, {{"history", "--json", "--limit=1"}, 1}}) {
    auto parsed = parse(args);
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    EXPECT_EQ(parsed.value().limit, limit);
  }
}

struct Refused {
  std::vector<std::string_view> args;
  std::string_view message_part;
};

TEST(Options, RefusedCommandLines) {
  const Refused cases[] = {
      {{}, "a subcommand is needed"},
      {{"--socket"}, "--socket needs a value"},
      {{"--socket", ""}, "--socket needs a path"},
      {{"lst"}, "unknown subcommand: lst"},
      {{"list", "--socket", "/s"}, "unexpected argument: --socket"},  // before the subcommand only
      {{"list", "7"}, "unexpected argument: 7"},
      {{"show"}, "show needs a request id"},
      {{"show", "1", "2"}, "unexpected argument: 2"},
      {{"show", "abc"}, "a request id is a decimal number, not abc"},
      {{"show", "1\x1b[2J"}, "not 1\\x1b[2J"},
      {{"show", "123456789012345678901"}, "decimal number"},
      {{"approve", "1", "--json"}, "unexpected argument: --json"},
      {{"approve", "1", "--reason"}, "--reason needs a value"},
      {{"approve", "1", "--reason", "\xff"}, "not valid UTF-8"},
      {{"deny", "1"}, "deny needs --reason"},
      {{"deny", "1", "--reason", "  "}, "deny needs --reason"},
      {{"deny", "--reason", "x"}, "deny needs a request id"},
      {{"history", "--since", "yesterday"}, "RFC 3339"},
      {{"history", "--limit", "0"}, "--limit needs a whole number from 1, not 0"},
      {{"history", "--limit", "-3"}, "--limit needs a whole number from 1"},
      {{"history", "--limit", "ten"}, "--limit needs a whole number from 1"},
      {{"history", "--limit"}, "--limit needs a value"},
      {{"list", "--limit", "3"}, "unexpected argument: --limit"},
      {{"history", "--since"}, "--since needs a value"},
      {{"list", "--since", "2026-12-07T20:00:00Z"}, "unexpected argument: --since"},
      {{"watch", "--json"}, "unexpected argument"},
      {{"--version", "list"}, "unexpected argument: list"},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    auto parsed = parse(c.args);
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().message.find(c.message_part), std::string::npos)
        << parsed.error().message;
  }
}

TEST(Options, ReasonLongerThanALineCanCarryIsRefused) {
  const std::string reason(4097, 'x');
  EXPECT_FALSE(parse({"approve", "1", "--reason", reason}).ok());
  EXPECT_TRUE(parse({"approve", "1", "--reason", std::string_view(reason).substr(1)}).ok());
}

TEST(Options, KeyNamesAnAgentKeyByFingerprint) {
  const std::string fingerprint = "SHA256:tQj//agFVaFi7377Vf/22ROWstcqrLVo2kxrYIe6L98";
  const std::string key_option = "--key=" + fingerprint;
  const std::string too_short = fingerprint.substr(0, 49);
  const std::string padded = fingerprint + "=";
  for (const std::vector<std::string_view>& args :
       {std::vector<std::string_view>{"approve", "1", "--key", fingerprint},
        std::vector<std::string_view>{"deny", key_option, "1", "--reason", "no"},
        std::vector<std::string_view>{"watch", "--key", fingerprint}}) {
    auto parsed = parse(args);
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    EXPECT_EQ(parsed.value().key, fingerprint);
  }
  EXPECT_FALSE(parse({"approve", "1"}).value().key.has_value());
  const Refused refused[] = {
      {{"approve", "1", "--key"}, "--key needs a value"},
      {{"approve", "1", "--key", fingerprint, key_option}, "--key is given twice"},
      {{"approve", "1", "--key", "MD5:aa:bb"}, "--key needs a key's fingerprint"},
      {{"approve", "1", "--key", too_short}, "--key needs a key's fingerprint"},
      {{"approve", "1", "--key", padded}, "--key needs a key's fingerprint"},
      {{"approve", "1", "--key", "SHA256:tQj//agFVaFi7377Vf/22ROWstcqrLVo2kxrYIe6L9\x1b"},
       "--key needs"},
      {{"list", "--key", fingerprint}, "unexpected argument: --key"},
      {{"history", key_option}, "unexpected argument: --key"},
  };
  for (const Refused& c : refused) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    auto parsed = parse(c.args);
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().message.find(c.message_part), std::string::npos)
        << parsed.error().message;
  }
}

TEST(Options, SocketChoice) {
  Invocation named;
  named.socket = "/named";
  const Invocation unnamed;
  EXPECT_EQ(operator_socket_path(named, "/from-env"), "/named");
  EXPECT_EQ(operator_socket_path(unnamed, "/from-env"), "/from-env");
  EXPECT_EQ(operator_socket_path(unnamed, ""), kDefaultSocketPath);
  EXPECT_EQ(operator_socket_path(unnamed, std::nullopt),
            "/run/kelvane-operator-approval/operators.sock");
}

}  // namespace
}  // namespace kelvane::operators
