#include "approval/request_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/render.h"

namespace kelvane::approval {
namespace {

using Args = std::vector<std::string_view>;

const Args kRequired = {"--title", "t", "--detail", "d", "--target-host", "h"};

Args with_required(Args extra) {
  Args args = kRequired;
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

approval::OperatorApprovalRequest parse_ok(const Args& args,
                                           std::optional<std::string_view> host = std::nullopt) {
  auto r = parse_args(args, host);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().output);
  return r.ok() ? std::move(r).value() : approval::OperatorApprovalRequest{};
}

std::string parse_error(const Args& args) {
  auto r = parse_args(args, std::nullopt);
  EXPECT_FALSE(r.ok());
  return r.ok() ? std::string() : r.error().output;
}

TEST(ParseArgs, Defaults) {
  auto f = parse_ok(kRequired);
  EXPECT_EQ(f.id, "");
  EXPECT_EQ(f.action, "admin_operation");
  EXPECT_EQ(f.requester, "cli");
  EXPECT_EQ(f.source_host, "unknown");
  EXPECT_FALSE(f.operation_digest);
  EXPECT_FALSE(f.context);
  EXPECT_FALSE(f.timeout_secs);
}

TEST(ParseArgs, HostnameDefault) {
  const std::pair<std::optional<std::string_view>, std::string_view> cases[] = {
      {std::nullopt, "unknown"}, {"", "unknown"}, {"\xFF\xFE", "unknown"},
      {"build-07", "build-07"},  {"  ", "  "},    {"h\xC3\xA9", "h\xC3\xA9"},
  };
  for (const auto& [env, expected] : cases)
    EXPECT_EQ(parse_ok(kRequired, env).source_host, expected);
  EXPECT_EQ(parse_ok(with_required({"--source-host"}), "env").source_host, "");
  EXPECT_EQ(parse_ok(with_required({"--source-host", "x"}), "env").source_host, "x");
}

TEST(ParseArgs, ValueIsTheNextArgumentWhateverItHolds) {
  auto f = parse_ok({"--title", "-h", "--detail", "--target-host", "--target-host", "",
                     "--target-host", "web", "--action", "--help", "--requester", "-"});
  EXPECT_EQ(f.title, "-h");
  EXPECT_EQ(f.detail, "--target-host");
  EXPECT_EQ(f.target_host, "web");
  EXPECT_EQ(f.action, "--help");
  EXPECT_EQ(f.requester, "-");
}

TEST(ParseArgs, MissingValuesAndRepeats) {
  EXPECT_EQ(parse_ok(with_required({"--action"})).action, "");
  EXPECT_EQ(parse_ok(with_required({"--requester"})).requester, "");
  EXPECT_EQ(parse_ok(with_required({"--title", "second"})).title, "second");

  EXPECT_EQ(parse_ok(with_required({"--operation-digest", ""})).operation_digest, "");
  EXPECT_FALSE(
      parse_ok(with_required({"--operation-digest", "a", "--operation-digest"})).operation_digest);
  EXPECT_EQ(parse_ok(with_required({"--operation-digest", "a", "--operation-digest", "b"}))
                .operation_digest,
            "b");

  EXPECT_EQ(parse_ok(with_required({"--timeout", "30"})).timeout_secs, 30u);
  EXPECT_FALSE(parse_ok(with_required({"--timeout", "30", "--timeout", "x"})).timeout_secs);
  EXPECT_FALSE(parse_ok(with_required({"--timeout", "30", "--timeout"})).timeout_secs);
}

TEST(ParseTimeout, NumberRule) {
  const std::pair<std::string_view, std::optional<std::uint64_t>> cases[] = {
      {"0", 0},
      {"007", 7},
      {"+30", 30},
      {"18446744073709551615", UINT64_MAX},
      {"+018446744073709551615", UINT64_MAX},
      {"000000000000000000000000000001", 1},
      {"18446744073709551616", std::nullopt},
      {"18446744073709551620", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"184467440737095516150", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"-5", std::nullopt},
      {"-0", std::nullopt},
      {"+-5", std::nullopt},
      {"++5", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"5s", std::nullopt},
      {"1.5", std::nullopt},
      {"\xD9\xA3", std::nullopt},  // ARABIC-INDIC DIGIT THREE
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_timeout(text), expected) << text;
}

TEST(ParseArgs, UsageErrors) {
  const std::string usage(kUsageText);
  const std::pair<Args, std::string> cases[] = {
      {{"--help"}, usage},
      {{"-h", "--bogus"}, usage},
      {with_required({"-h"}), usage},
      {{"--title=x"}, "unexpected argument: --title=x\n" + usage},
      {{""}, "unexpected argument: \n" + usage},
      {{"--"}, "unexpected argument: --\n" + usage},
      {{"-H"}, "unexpected argument: -H\n" + usage},
      {{"--TITLE", "x"}, "unexpected argument: --TITLE\n" + usage},
      {with_required({"positional", "--help"}), "unexpected argument: positional\n" + usage},
      {{}, usage},
      {{"--title", "--detail"}, usage},
      {{"--title", "t", "--detail", "   ", "--target-host", "h"}, usage},
      {{"--title", "\xE3\x80\x80\xC2\xA0\t", "--detail", "d", "--target-host", "h"}, usage},
      {{"--title", "t", "--detail", "d"}, usage},
      // Text values must be UTF-8; the option is still matched byte-wise.
      {{"--title", "caf\xE9", "--help"}, "--title value is not valid UTF-8: caf\xE9\n" + usage},
      {with_required({"--detail", "\xC0\xAF"}),
       "--detail value is not valid UTF-8: \xC0\xAF\n" + usage},
      {with_required({"--target-host", "\xED\xA0\x80"}),
       "--target-host value is not valid UTF-8: \xED\xA0\x80\n" + usage},
      {with_required({"--action", "\xF4\x90\x80\x80"}),
       "--action value is not valid UTF-8: \xF4\x90\x80\x80\n" + usage},
      {with_required({"--requester", "\xE2\x82"}),
       "--requester value is not valid UTF-8: \xE2\x82\n" + usage},
      {with_required({"--source-host", "\x80"}),
       "--source-host value is not valid UTF-8: \x80\n" + usage},
      {with_required({"--operation-digest", "sha\xFF"}),
       "--operation-digest value is not valid UTF-8: sha\xFF\n" + usage},
      {{"--t\xC3\xADtle", "x"}, "unexpected argument: --t\xC3\xADtle\n" + usage},
  };
  for (const auto& [args, expected] : cases) EXPECT_EQ(parse_error(args), expected);
}

TEST(ParseArgs, NonUtf8OnlyWhereNoTextIsSent) {
  // A timeout that is not UTF-8 is merely not a number.
  EXPECT_FALSE(parse_ok(with_required({"--timeout", "3\xFF"})).timeout_secs);
  // An unexpected argument is named as it came, byte for byte.
  EXPECT_EQ(parse_error({"\xFF"}), "unexpected argument: \xFF\n" + std::string(kUsageText));
}

TEST(ParseArgs, RequiredFieldsKeepTheirSpaces) {
  auto f = parse_ok({"--title", "  Reboot  ", "--detail", "\xE3\x80\x80x", "--target-host", " h"});
  EXPECT_EQ(f.title, "  Reboot  ");
  EXPECT_EQ(f.detail, "\xE3\x80\x80x");
  EXPECT_EQ(f.target_host, " h");
}

// The context as rendered by the test helper, or "absent".
std::string context_of(const Args& extra) {
  const auto f = parse_ok(with_required(extra));
  return f.context ? json::testing::render(*f.context) : "absent";
}

TEST(ParseArgs, Context) {
  static const std::string kTooDeep(128, '[');
  const std::pair<Args, std::string> cases[] = {
      {{"--context", R"({"b":1,"a":[true,null]})"}, R"({"a":[true,null],"b":1})"},
      {{"--context", "null"}, "null"},
      {{"--context", " [1, 2] \n"}, "[1,2]"},
      {{"--context", "\"text\""}, R"("text")"},
      {{"--context", "-0"}, "D(-0)"},
      {{"--context", ""}, "absent"},
      {{"--context", "{"}, "absent"},
      {{"--context", "1 2"}, "absent"},
      {{"--context", kTooDeep}, "absent"},
      {{"--context", "\"\xFF\""}, "absent"},  // not UTF-8
      {{"--context"}, "absent"},
      {{"--context", "1", "--context", "2"}, "2"},
      {{"--context", "{}", "--context", "not json"}, "absent"},
      {{"--context", "{}", "--context"}, "absent"},
      {{"--context", "--title"}, "absent"},  // the value, never an option
  };
  for (const auto& [extra, expected] : cases)
    EXPECT_EQ(context_of(extra), expected) << extra[1 % extra.size()];
}

TEST(UsageText, ExactBytes) {
  EXPECT_EQ(
      kUsageText,
      "usage: kelvane-operator-approve --title T (--detail D|--detail-file PATH) --action A \\\n"
      "+         --requester R --source-host H --target-host H [--operation-digest D] \\\n"
      "+         [--context JSON|--context-file PATH] [--timeout SECS]\n");
}

}  // namespace
}  // namespace kelvane::approval
