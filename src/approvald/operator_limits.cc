// What one user may take of the operators' socket, whatever their role:
// a number of connections (operator_connections_per_user), and for a user
// with no role, a connection that says nothing for operator_idle_timeout
// seconds is closed. Output kept for a reader that does not read is bounded
// in operators.cc (backlog_cap, and no new line is served while an answer
// waits to be read).
#include <sys/socket.h>

#include "daemon.h"
#include "service/answer.h"

namespace kelvane::approvald {
namespace {

// A user with no role gets short answers only (status, cancel).
constexpr std::size_t kRolelessBacklog = std::size_t{64} << 10;
// An approver or auditor falling behind the events: past this much unsent
// output on top of one answer, the connection is closed.
constexpr std::size_t kOperatorBacklog = std::size_t{64} << 20;

}  // namespace

bool Daemon::admit_operator(FileDescriptor& fd, const service::PeerCredentials& credentials,
                            service::Accountable& owner) {
  // Every uid of a user namespace is its owner here too.
  auto found = service::namespace_owner(fd.get(), credentials.pid);
  if (!found.ok()) return false;
  owner = found.value().value_or(service::Accountable{credentials.uid, 0});
  const std::uint64_t most = settings_.config.operator_connections_per_user;
  if (operators_per_owner_[owner] < most) {
    ++operators_per_owner_[owner];
    return true;
  }
  const std::string answer = service::encode_answer(service::refused_answer(
      service::kOperatorRefused,
      "this user already has " + std::to_string(most) +
          " connections (operator_connections_per_user = " + std::to_string(most) + ")"));
  (void)::send(fd.get(), answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return false;
}

void Daemon::set_idle_deadline(Operator& o) {
  if (o.identity && role(o) != Role::None) return timers_.arm(o.key, o.idle_deadline, std::nullopt);
  timers_.arm(o.key, o.idle_deadline,
              Clock::now() + std::chrono::seconds(settings_.config.operator_idle_timeout));
}

void Daemon::on_operator_idle(Operator& o) {
  o.idle_deadline.reset();
  // A role given by a reload since: it stays.
  if (o.identity && role(o) != Role::None) return;
  close_operator(o);
}

std::size_t Daemon::backlog_cap(const Operator& o) const {
  return role(o) == Role::None ? kRolelessBacklog : kOperatorBacklog;
}

}  // namespace kelvane::approvald
