// What a member of the operators' group without a role (neither approver
// nor auditor) can take of the daemon: connections, silence, unread output,
// and what it learns of requests.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "harness.h"
#include "testing/sanitizer.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;

constexpr const char* kConfig = "approvers = [\"daemon\", \"bin\"]\n";

std::size_t resident_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word)
    if (word == "VmRSS:" && status >> word) return std::stoul(word);
  return 0;
}

class OperatorLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    approver_ = account("daemon");
    requester_ = account("sys");
    roleless_ = account("nobody");
    if (!approver_ || !requester_ || !roleless_)
      GTEST_SKIP() << "needs the accounts daemon, sys and nobody";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
  }
  std::optional<Account> approver_, requester_, roleless_;
};

// Connections past operator_connections_per_user are refused with the key
// named, for a role or none; one closed frees its place.
TEST_F(OperatorLimits, ConnectionsPerUserAreCapped) {
  DaemonProcess daemon(std::string(kConfig) + "operator_connections_per_user = 3\n");
  ASSERT_TRUE(daemon.start());
  for (const auto& who : {approver_, roleless_}) {
    std::vector<OperatorLink> held;
    for (int i = 0; i < 3; ++i) {
      held.emplace_back(daemon, who);
      ASSERT_TRUE(held.back().ask(op(OperatorOp::Status)).ok) << i;
    }
    // Answered at accept, before any line.
    const FileDescriptor over = connect_as(daemon.operator_socket(), who);
    std::string buffer;
    const auto refused = read_line(over.get(), buffer, 5s);
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("\"ok\":false"), std::string::npos) << *refused;
    EXPECT_NE(refused->find("operator_connections_per_user = 3"), std::string::npos) << *refused;
    held.pop_back();
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(OperatorLink(daemon, who).ask(op(OperatorOp::Status)).ok) << who->name;
  }
}

// A role-less connection that says nothing for operator_idle_timeout is
// closed; each line starts the time again; an approver's stays open.
TEST_F(OperatorLimits, RolelessConnectionsTimeOutWhenIdle) {
  DaemonProcess daemon(std::string(kConfig) + "operator_idle_timeout = 1\n");
  ASSERT_TRUE(daemon.start());
  OperatorLink idle(daemon, roleless_);
  OperatorLink talking(daemon, roleless_);
  OperatorLink approver(daemon, approver_);
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(talking.ask(op(OperatorOp::Status)).ok) << i;
  }
  std::string buffer;
  EXPECT_FALSE(read_line(idle.fd(), buffer, 1s));  // closed: end of file
  char byte = 0;
  EXPECT_EQ(::recv(idle.fd(), &byte, 1, MSG_DONTWAIT), 0);
  EXPECT_TRUE(approver.ask(op(OperatorOp::Status)).ok);
}

// Lines sent without reading the answers: the daemon stops reading the
// connection once an answer waits, so its memory does not grow with them.
TEST_F(OperatorLimits, AReaderThatDoesNotReadCostsLittle) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  std::this_thread::sleep_for(200ms);
  const std::size_t before = resident_kb(daemon.pid());
  const std::string status = service::encode_operator_request(op(OperatorOp::Status));
  std::vector<FileDescriptor> connections;
  std::size_t sent = 0;
  for (int c = 0; c < 6; ++c) {
    connections.push_back(connect_as(daemon.operator_socket(), roleless_));
    // Until the socket takes no more: the daemon no longer reads it.
    const auto until = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < until) {
      const ssize_t n = ::send(connections.back().get(), status.data(), status.size(),
                               MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n <= 0) {
        std::this_thread::sleep_for(50ms);
        if (::send(connections.back().get(), status.data(), status.size(),
                   MSG_DONTWAIT | MSG_NOSIGNAL) <= 0)
          break;
        continue;
      }
      sent += static_cast<std::size_t>(n);
    }
  }
  const std::size_t grown = resident_kb(daemon.pid()) - std::min(before, resident_kb(daemon.pid()));
  std::cout << "[ figures  ] " << sent << " bytes of status lines unread-answered; daemon grew by "
            << grown << " kB\n";
  // AddressSanitizer keeps freed blocks in quarantine (256 MiB) and its
  // shadow: the bound is the plain build's to check.
  if (testing::kMemoryFiguresHold) {
    EXPECT_LT(grown, 16u * 1024);
  }
  // Still serving everyone else.
  EXPECT_TRUE(OperatorLink(daemon, approver_).ask(op(OperatorOp::Status)).ok);
}

// Without a role, cancelling another's request answers as for a request
// that does not exist, pending or decided; its own request it may cancel.
TEST_F(OperatorLimits, ARolelessMemberLearnsNothingOfRequests) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  OperatorLink watcher(daemon, approver_);
  ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
  const FileDescriptor other = connect_as(daemon.request_socket(), requester_);
  ASSERT_TRUE(send_all(other.get(), request_line("someone else's")));
  const std::string pending = next_pending(watcher);
  ASSERT_FALSE(pending.empty());
  const FileDescriptor decided_fd = connect_as(daemon.request_socket(), requester_);
  ASSERT_TRUE(send_all(decided_fd.get(), request_line("decided")));
  const std::string decided = next_pending(watcher);
  ASSERT_TRUE(watcher.ask(vote(decided, false)).ok);

  OperatorLink roleless(daemon, roleless_);
  // status: the daemon's health, not who waits or since when.
  const auto status = roleless.ask(op(OperatorOp::Status));
  ASSERT_TRUE(status.ok) << status.error;
  EXPECT_FALSE(status.pending_by_user.has_value());
  EXPECT_FALSE(status.oldest_pending.has_value());
  EXPECT_TRUE(
      OperatorLink(daemon, approver_).ask(op(OperatorOp::Status)).pending_by_user.has_value());
  const std::string unknown = "999999999";
  for (const std::string& id : {pending, decided, unknown}) {
    const auto answer = roleless.ask(op(OperatorOp::Cancel, id));
    EXPECT_FALSE(answer.ok) << id;
    EXPECT_EQ(answer.error, "there is no pending request " + id);
  }
  const FileDescriptor own = connect_as(daemon.request_socket(), roleless_);
  ASSERT_TRUE(send_all(own.get(), request_line("mine")));
  const std::string mine = next_pending(watcher);
  EXPECT_TRUE(roleless.ask(op(OperatorOp::Cancel, mine)).ok);
}

}  // namespace
}  // namespace kelvane::approvald_test
