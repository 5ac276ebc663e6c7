#include "service/verified_requester.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "json/json.h"

namespace kelvane::service {
namespace {

TEST(VerifiedRequester, TheInvokingUserStandsForSudoAndOnlyRootMayStateIt) {
  struct Case {
    const char* what;
    RequesterFacts facts;
    VerifiedUid expected;
  };
  const Case cases[] = {
      {"a user is itself", {{10, 1000, 1000}, 1000, std::nullopt, "/usr/bin/x"}, {1000, false}},
      {"a user cannot state another", {{10, 1000, 1000}, 1000, 0u, "/usr/bin/x"}, {1000, false}},
      {"sudo before it changes user",
       {{10, 0, 0}, 1000, std::nullopt, "/usr/bin/sudo"},
       {1000, true}},
      {"sudo's real uid wins over a statement",
       {{10, 0, 0}, 1000, 1234u, "/usr/bin/sudo"},
       {1000, true}},
      {"an intercepted command: the plugin states the user",
       {{10, 0, 0}, 0u, 1000u, "/usr/bin/sudo"},
       {1000, true}},
      {"the process is gone: its statement cannot be checked",
       {{0, 0, 0}, std::nullopt, 1000u, ""},
       {0, false}},
      {"a root process other than sudo cannot state a user",
       {{10, 0, 0}, 0u, 1000u, "/usr/bin/x"},
       {0, false}},
      {"a set-user-id program other than sudo is not shown as sudo",
       {{10, 0, 0}, 1000u, 1234u, "/usr/bin/x"},
       {1000, false}},
      {"root itself", {{10, 0, 0}, 0u, std::nullopt, "/usr/bin/x"}, {0, false}},
      {"another set-user-id program: its user",
       {{10, 0, 0}, 1000u, std::nullopt, "/usr/bin/x"},
       {1000, false}},
  };
  for (const Case& c : cases) {
    const VerifiedUid got = verified_uid(c.facts);
    EXPECT_EQ(got.uid, c.expected.uid) << c.what;
    EXPECT_EQ(got.via_sudo, c.expected.via_sudo) << c.what;
  }
}

TEST(VerifiedRequester, ReadsTheStatedUidAndTheKernelsFacts) {
  const std::pair<const char*, std::optional<uid_t>> contexts[] = {
      {R"({"invokingUid":1000})", 1000u},
      {R"({"invokingUid":0})", 0u},
      {R"({"invokingUid":4294967295})", std::nullopt},
      {R"({"invokingUid":-1})", std::nullopt},
      {R"({"invokingUid":"1000"})", std::nullopt},
      {R"({"invokingUid":1e3})", std::nullopt},
      {R"([1000])", std::nullopt},
      {R"({})", std::nullopt},
  };
  for (const auto& [text, expected] : contexts) {
    EXPECT_EQ(stated_invoking_uid(json::parse_value(text).value()), expected) << text;
  }

  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const auto credentials = peer_credentials(pair[0]);
  ::close(pair[0]);
  ::close(pair[1]);
  ASSERT_TRUE(credentials);
  EXPECT_EQ(credentials->pid, ::getpid());
  EXPECT_EQ(credentials->uid, ::geteuid());
  EXPECT_EQ(real_uid_of(::getpid()), ::getuid());
  EXPECT_FALSE(real_uid_of(0));
  const VerifiedRequester me = verify_requester(*credentials, std::nullopt);
  EXPECT_EQ(me.verified.uid, ::getuid());
  EXPECT_EQ(me.peer.pid, static_cast<std::uint64_t>(::getpid()));
  EXPECT_FALSE(me.peer.executable.empty());
  EXPECT_EQ(user_name_of(0), "root");
}

}  // namespace
}  // namespace kelvane::service
