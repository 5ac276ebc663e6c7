// No exception may reach sudo: when the plugin runs out of memory in open()
// or check(), it says so through sudo and fails closed. A binary of its own:
// it replaces operator new, which the loaded plugin then uses too, so that
// allocations above a chosen size fail.
#include <gtest/gtest.h>

#include <string>

#include "loaded_plugin.h"
#include "testing/failing_new.h"
#include "testing/sanitizer.h"

namespace kelvane::testing {
namespace {

constexpr std::size_t kLimit = 64 * 1024;
const std::string kHuge(2 * kLimit, 'x');
const std::string kInternalError =
    "kelvane operator approval: internal error; the command was not run";

Facts facts_with(Strings user_info, Strings argv) {
  return Facts{{"socket=/nonexistent/approval.sock"},
               std::move(user_info),
               {"command=/usr/bin/env", "runas_user=root", "runas_uid=0", "runas_gid=0"},
               std::move(argv)};
}

TEST(SudoPluginMemory, RunningOutFailsClosedInOpenAndInCheck) {
  if (kAddressSanitizer) GTEST_SKIP() << "the sanitizer brings its own operator new";
  const Strings alice{"user=alice", "uid=1000", "cwd=/", "host=web-03"};
  const struct {
    const char* name;
    Facts facts;
    int open;
    int check;
  } cases[] = {
      // open() keeps a copy of user_info for check().
      {"open", facts_with(alice.with("lines=" + kHuge), {"env"}), -1, 0},
      // check() copies every argument into the request.
      {"check", facts_with(alice, {"env", kHuge}), 1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoadedPlugin plugin;
    set_allocation_limit(kLimit);
    const CheckRun run = plugin.run(c.facts);
    set_allocation_limit(0);
    EXPECT_EQ(run.open, c.open);
    EXPECT_EQ(run.check, c.check);
    EXPECT_EQ(run.printed, kInternalError + "\n");
    EXPECT_EQ(run.errstr, kInternalError);
  }
}

}  // namespace
}  // namespace kelvane::testing
