// Who may answer: on a path found by default, only a service run by root or
// by the client's own user; on a path the caller named, whoever listens.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "approval/connection.h"
#include "testing/reboot_request.h"
#include "testing/service.h"
#include "testing/service_as.h"

namespace kelvane::approval {
namespace {

using testing::kNobody;
using testing::kRebootRequestLine;
using testing::reboot_request;
using testing::ServiceAs;
using testing::TempDir;

constexpr const char* kApproval = R"({"verdict":"approved","detail":"ok","approvalToken":"t"})"
                                  "\n";

using Env = std::map<std::string, std::string>;

EnvLookup lookup_in(const Env& env) {
  return [&env](const char* name) -> std::optional<std::string_view> {
    const auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return std::string_view(it->second);
  };
}

std::string refusal(const std::string& path, uid_t uid) {
  return "the service at " + path + " runs as uid " + std::to_string(uid) +
         ", neither root nor this user; set KELVANE_OPERATOR_APPROVAL_SOCK to use it";
}

#define REQUIRE_ROOT()                                                                   \
  do {                                                                                   \
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a service as another user"; \
  } while (false)

TEST(ResolveServiceAddress, OnlyAnExplicitPathTrustsAnyPeer) {
  const struct {
    Env env;
    std::string path;
    bool checked;
  } cases[] = {
      {{}, "/tmp/kelvane-operator-approval.sock", true},
      {{{kRuntimeDirVariable, "/run/user/501"}},
       "/run/user/501/kelvane-operator-approval.sock",
       true},
      {{{kSocketVariable, "/run/s.sock"}, {kRuntimeDirVariable, "/run/user/501"}},
       "/run/s.sock",
       false},
      // An unusable variable is no choice: the default that follows is checked.
      {{{kSocketVariable, ""}}, "/tmp/kelvane-operator-approval.sock", true},
      {{{kSocketVariable, "/bad\xFF"}}, "/tmp/kelvane-operator-approval.sock", true},
  };
  for (const auto& c : cases) {
    const ServiceAddress address = resolve_service_address(lookup_in(c.env), 501);
    EXPECT_EQ(address.path, c.path);
    ASSERT_EQ(address.trusted.has_value(), c.checked) << c.path;
    if (c.checked) {
      EXPECT_EQ(address.trusted->uid, 501u);
    }
  }
}

TEST(ServicePeer, StrangerOnTheRuntimeDirPathIsRefusedAndReceivesNothing) {
  REQUIRE_ROOT();
  TempDir dir;
  const std::string path = dir.file("kelvane-operator-approval.sock");
  ServiceAs stranger(path, kNobody, kApproval);
  const Env env{{kRuntimeDirVariable, dir.path()}};
  auto decision = request_decision(reboot_request(), lookup_in(env));
  EXPECT_EQ(stranger.received(), "");
  ASSERT_FALSE(decision.ok());
  EXPECT_EQ(decision.error().to_string(), refusal(path, kNobody));
}

TEST(ServicePeer, StrangerOnTheDefaultPathIsRefusedAndReceivesNothing) {
  REQUIRE_ROOT();
  const std::string path(kDefaultSocketPath);
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) GTEST_SKIP() << path << " is in use on this machine";
  ServiceAs stranger(path, kNobody, kApproval);
  auto decision = request_decision(reboot_request(), lookup_in({}));
  const std::string received = stranger.received();
  ::unlink(path.c_str());
  EXPECT_EQ(received, "");
  ASSERT_FALSE(decision.ok());
  EXPECT_EQ(decision.error().to_string(), refusal(path, kNobody));
}

TEST(ServicePeer, ExplicitPathTrustsTheCallersChoice) {
  REQUIRE_ROOT();
  TempDir dir;
  const std::string path = dir.file("dedicated.sock");
  ServiceAs dedicated(path, kNobody, kApproval);
  const Env env{{kSocketVariable, path}, {kRuntimeDirVariable, dir.path()}};
  auto decision = request_decision(reboot_request(), lookup_in(env));
  EXPECT_EQ(dedicated.received(), kRebootRequestLine);
  ASSERT_TRUE(decision.ok()) << decision.error().to_string();
  EXPECT_EQ(decision.value().verdict, "approved");
}

TEST(ServicePeer, RootServiceIsAccepted) {
  TempDir dir;
  const std::string path = dir.file("kelvane-operator-approval.sock");
  testing::FakeService service(path, {.read_request = true, .pieces = {kApproval}});
  const Env env{{kRuntimeDirVariable, dir.path()}};
  auto decision = request_decision(reboot_request(), lookup_in(env));
  EXPECT_EQ(service.received(), kRebootRequestLine);
  if (::geteuid() != 0) return;  // then the service is the client's own user, accepted too
  ASSERT_TRUE(decision.ok()) << decision.error().to_string();
}

// A user's own service, with neither side root: the client runs in a child
// that has become that user.
TEST(ServicePeer, ServiceOfTheClientsOwnUserIsAccepted) {
  REQUIRE_ROOT();
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string path = dir.file("kelvane-operator-approval.sock");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(10);
    ServiceAs own(path, kNobody, kApproval);
    const Env env{{kRuntimeDirVariable, dir.path()}};
    auto decision = request_decision(reboot_request(), lookup_in(env));
    const bool sent = own.received() == kRebootRequestLine;
    ::_exit(!sent ? 11 : !decision.ok() ? 12 : decision.value().verdict == "approved" ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A descriptor whose peer cannot be asked is refused: not taken for root.
TEST(ServicePeer, APeerThatCannotBeAskedIsRefused) {
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  const TrustedPeer trusted{0, "this user", "set KELVANE_OPERATOR_APPROVAL_SOCK to use it"};
  Result<void, io::Error> checked = check_service_peer(pipe_ends[0], "/run/s.sock", trusted);
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
  ASSERT_FALSE(checked.ok());
  EXPECT_EQ(checked.error().to_string(), "Socket operation on non-socket (os error 88)");
}

}  // namespace
}  // namespace kelvane::approval
