#include "service/verified_requester.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string_view>

#include "service/peer.h"
#include "support/decimal.h"
#include "support/file_descriptor.h"
#include "support/read_up_to.h"

namespace kelvane::service {
namespace {

std::optional<uid_t> as_uid(std::string_view digits) {
  // (uid_t)-1 means "no uid" to the kernel's calls.
  const std::optional<std::uint64_t> value = parse_decimal(digits, 0xFFFFFFFEu);
  if (!value) return std::nullopt;
  return static_cast<uid_t>(*value);
}

}  // namespace

std::optional<PeerCredentials> peer_credentials(int connection) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return std::nullopt;
  }
  return PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
}

namespace {

bool runs_sudo(const RequesterFacts& facts) {
  return facts.executable.ends_with("/sudo");
}

}  // namespace

std::optional<uid_t> believed_invoking_uid(const RequesterFacts& facts) {
  if (facts.credentials.uid != 0 || facts.real_uid != uid_t{0} || !runs_sudo(facts))
    return std::nullopt;
  return facts.invoking_uid;
}

VerifiedUid verified_uid(const RequesterFacts& facts) {
  const uid_t peer = facts.credentials.uid;
  if (peer != 0) return {peer, false};
  if (facts.real_uid && *facts.real_uid != 0) return {*facts.real_uid, runs_sudo(facts)};
  if (const std::optional<uid_t> invoking = believed_invoking_uid(facts)) return {*invoking, true};
  return {0, false};
}

std::optional<uid_t> real_uid_of(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) return std::nullopt;
  auto read = read_up_to(fd.get(), 65535);
  if (!read.ok()) return std::nullopt;
  const std::string text = std::move(read).value();
  // "Uid:\t<real>\t<effective>\t<saved>\t<filesystem>"
  const std::size_t line = text.find("\nUid:\t");
  if (line == std::string::npos) return std::nullopt;
  const std::size_t start = line + 6;
  const std::size_t end = text.find_first_of("\t\n", start);
  if (end == std::string::npos) return std::nullopt;
  return as_uid(std::string_view(text).substr(start, end - start));
}

std::optional<uid_t> stated_invoking_uid(const json::Value& context) {
  if (context.kind() != json::Value::Kind::Object) return std::nullopt;
  for (const json::Member& member : context.as_object()) {
    if (member.name() != "invokingUid") continue;
    const json::Value& value = member.value;
    if (value.kind() != json::Value::Kind::Number ||
        value.as_number().kind() != json::Number::Kind::Unsigned64 ||
        value.as_number().as_unsigned64() >= 0xFFFFFFFFu) {
      return std::nullopt;
    }
    return static_cast<uid_t>(value.as_number().as_unsigned64());
  }
  return std::nullopt;
}

VerifiedRequester verify_requester(const PeerCredentials& credentials,
                                   std::optional<uid_t> invoking_uid) {
  return verify_requester(credentials, invoking_uid, user_name_of);
}

VerifiedRequester verify_requester(const PeerCredentials& credentials,
                                   std::optional<uid_t> invoking_uid,
                                   const std::function<std::string(uid_t)>& name_of,
                                   std::optional<Accountable> namespace_owner) {
  RequesterFacts facts;
  facts.credentials = credentials;
  const std::optional<ProcessInfo> process = describe_process(credentials.pid, credentials.uid);
  if (process) facts.executable = process->executable;
  if (credentials.uid == 0) {
    facts.real_uid = real_uid_of(credentials.pid);
    facts.invoking_uid = invoking_uid;
  }
  VerifiedRequester requester;
  requester.verified = verified_uid(facts);
  requester.user = name_of(requester.verified.uid);
  requester.accountable = namespace_owner.value_or(Accountable{requester.verified.uid, 0});
  requester.peer.uid = credentials.uid;
  requester.peer.gid = credentials.gid;
  requester.peer.pid = static_cast<std::uint64_t>(credentials.pid > 0 ? credentials.pid : 0);
  if (process) {
    requester.peer.name = process->name;
    requester.peer.executable = process->executable;
  }
  return requester;
}

}  // namespace kelvane::service
