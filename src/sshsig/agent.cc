#include "sshsig/agent.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sshsig/verify.h"
#include "sshsig/wire.h"
#include "support/retry.h"
#include "support/write_loop.h"

namespace kelvane::sshsig {
namespace {

constexpr std::uint8_t kFailure = 5;
constexpr std::uint8_t kRequestIdentities = 11;
constexpr std::uint8_t kIdentitiesAnswer = 12;
constexpr std::uint8_t kSignRequest = 13;
constexpr std::uint8_t kSignResponse = 14;
// Other agents' spellings of "failure".
constexpr std::uint8_t kSsh2Failure = 30;
constexpr std::uint8_t kSshComFailure = 102;

std::string os_text(int code) {
  return std::strerror(code);
}

Result<void, std::string> receive_exactly(int fd, char* out, std::size_t size) {
  for (std::size_t got = 0; got < size;) {
    const ssize_t n = repeat_if_interrupted([&] { return ::recv(fd, out + got, size - got, 0); });
    if (n == 0) return fail(std::string("the agent closed the connection"));
    if (n < 0) {
      if (errno == EAGAIN)  // also EWOULDBLOCK, the same number on Linux
        return fail(std::string("the agent did not answer in time"));
      return fail("cannot read from the agent: " + os_text(errno));
    }
    got += static_cast<std::size_t>(n);
  }
  return {};
}

bool is_failure(std::uint8_t type) {
  return type == kFailure || type == kSsh2Failure || type == kSshComFailure;
}

Result<std::uint8_t, std::string> answer_type(WireReader& reader) {
  auto type = reader.byte();
  if (!type.ok()) return fail(std::string("an empty answer from the agent"));
  return type.value();
}

Result<std::vector<AgentIdentity>, std::string> read_identities(WireReader& reader) {
  KOA_TRY(count, reader.uint32());
  if (count > kMaxAgentIdentities) return fail(std::string("the agent announced too many keys"));
  std::vector<AgentIdentity> out;
  for (std::uint32_t i = 0; i < count; ++i) {
    KOA_TRY(blob, reader.string());
    KOA_TRY(comment, reader.string());
    AgentIdentity identity{std::string(blob), std::string(comment), std::nullopt};
    if (auto key = read_public_key(blob); key.ok()) identity.key = std::move(key).value();
    out.push_back(std::move(identity));
  }
  if (!reader.at_end()) return fail(std::string("bytes after the agent's list of keys"));
  return out;
}

}  // namespace

Result<AgentClient, std::string> AgentClient::connect(const std::string& path,
                                                      std::chrono::milliseconds timeout) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path ||
      path.find('\0') != std::string::npos)
    return fail("the agent socket path " + path + " is not a usable socket path");
  std::memcpy(address.sun_path, path.data(), path.size());
  FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.is_open()) return fail("cannot make a socket: " + os_text(errno));
  const timeval wait{static_cast<time_t>(timeout.count() / 1000),
                     static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0 ||
      ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0)
    return fail("cannot bound the wait for the agent: " + os_text(errno));
  if (repeat_if_interrupted([&] {
        return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
      }) != 0)
    return fail("cannot reach the SSH agent at " + path + ": " + os_text(errno));
  return AgentClient(std::move(socket));
}

Result<std::string, std::string> AgentClient::exchange(std::string_view request) {
  if (!socket_.is_open()) return fail(std::string("the agent connection was lost earlier"));
  WireWriter framed;
  framed.string(request);
  auto sent = io::write_every_byte(framed.bytes(), [&](const char* bytes, std::size_t size) {
    return ::send(socket_.get(), bytes, size, MSG_NOSIGNAL);
  });
  // After a failed or partial exchange the stream is out of step: no later
  // answer can be trusted to belong to its request.
  const auto lose = [&](std::string why) {
    socket_.close();
    return fail(std::move(why));
  };
  if (!sent.ok()) return lose("cannot write to the agent: " + sent.error().to_string());
  char length_bytes[4];
  if (auto got = receive_exactly(socket_.get(), length_bytes, 4); !got.ok())
    return lose(std::move(got).error());
  WireReader length_reader(std::string_view(length_bytes, 4));
  const std::uint32_t length = length_reader.uint32().value();
  if (length == 0 || length > kMaxAgentMessageBytes)
    return lose("an answer from the agent of " + std::to_string(length) + " bytes");
  std::string answer(length, '\0');
  if (auto got = receive_exactly(socket_.get(), answer.data(), length); !got.ok())
    return lose(std::move(got).error());
  return answer;
}

Result<std::vector<AgentIdentity>, std::string> AgentClient::identities() {
  WireWriter request;
  request.byte(kRequestIdentities);
  KOA_TRY(answer, exchange(request.bytes()));
  WireReader reader(answer);
  KOA_TRY(type, answer_type(reader));
  if (is_failure(type)) return fail(std::string("the agent refused to list its keys"));
  if (type != kIdentitiesAnswer)
    return fail("an answer of type " + std::to_string(type) + " to a request for keys");
  auto identities = read_identities(reader);
  if (!identities.ok()) return fail("the agent's list of keys is malformed: " + identities.error());
  return std::move(identities).value();
}

Result<std::string, std::string> AgentClient::sign(const PublicKey& key, std::string_view data,
                                                   std::uint32_t flags) {
  WireWriter request;
  request.byte(kSignRequest);
  request.string(key.blob);
  request.string(data);
  request.uint32(flags);
  KOA_TRY(answer, exchange(request.bytes()));
  WireReader reader(answer);
  KOA_TRY(type, answer_type(reader));
  if (is_failure(type))
    return fail(std::string(
        "the agent refused to sign (a key it does not hold, a confirmation declined, or a "
        "security key not touched in time)"));
  if (type != kSignResponse)
    return fail("an answer of type " + std::to_string(type) + " to a request to sign");
  auto signature = reader.string();
  if (!signature.ok() || !reader.at_end())
    return fail(std::string("the agent's signature answer is malformed"));
  return std::string(signature.value());
}

Result<std::string, std::string> agent_socket_from_environment() {
  const char* path = std::getenv("SSH_AUTH_SOCK");
  if (path == nullptr || *path == '\0')
    return fail(std::string("no SSH agent: SSH_AUTH_SOCK is not set"));
  return std::string(path);
}

Result<PublicKey, std::string> choose_agent_key(const std::vector<AgentIdentity>& identities,
                                                std::optional<std::string_view> fingerprint) {
  for (const AgentIdentity& identity : identities) {
    if (!identity.key) continue;
    if (!fingerprint || sshsig::fingerprint(*identity.key) == *fingerprint) return *identity.key;
  }
  if (fingerprint)
    return fail("the SSH agent holds no usable key " + std::string(*fingerprint) +
                " (ssh-add -l lists its keys)");
  return fail(std::string(
      "the SSH agent holds no ssh-ed25519, ecdsa-sha2-nistp256 or security key (add one with "
      "ssh-add)"));
}

Result<DetachedSignature, std::string> sign_with_agent(AgentClient& agent, const PublicKey& key,
                                                       std::string_view name_space,
                                                       std::string_view message,
                                                       HashAlgorithm hash) {
  DetachedSignature out{key, std::string(name_space), hash, {}};
  KOA_TRY(signature, agent.sign(key, signed_data(name_space, hash, message)));
  out.signature = std::move(signature);
  Requirements any_presence;
  any_presence.user_presence = false;
  if (auto checked = verify_detached(out, message, name_space, any_presence); !checked.ok())
    return fail("the agent's signature does not verify: " + checked.error());
  return out;
}

}  // namespace kelvane::sshsig
