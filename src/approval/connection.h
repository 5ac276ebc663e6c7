// The exchange with the local approval service: one Unix-domain stream
// connection, one request line out, one reply line back.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "approval/decision.h"
#include "approval/request.h"
#include "support/file_descriptor.h"
#include "support/io_error.h"
#include "support/memory.h"
#include "support/result.h"

namespace kelvane::approval {

inline constexpr const char* kSocketVariable = "KELVANE_OPERATOR_APPROVAL_SOCK";
inline constexpr const char* kRuntimeDirVariable = "XDG_RUNTIME_DIR";
inline constexpr std::string_view kSocketFileName = "kelvane-operator-approval.sock";
inline constexpr std::string_view kDefaultSocketPath = "/tmp/kelvane-operator-approval.sock";

// Looks up one environment variable; nullopt when it is not set. Passed in so
// that the choice of path can be exercised without touching the real
// environment.
using EnvLookup = std::function<std::optional<std::string_view>(const char* name)>;

// The process environment, through getenv.
std::optional<std::string_view> process_env(const char* name);

// KELVANE_OPERATOR_APPROVAL_SOCK as it stands, else XDG_RUNTIME_DIR joined
// with the socket file name, else the fixed default. Empty values and values
// that are not UTF-8 count as unset. The choice is final: a failure on the
// chosen path is never followed by a try on another.
std::string resolve_socket_path(const EnvLookup& env);

// Who, besides root, may run the service that answers on a path. A path the
// caller named explicitly is their own choice and trusts whoever listens
// there; a path found by default lives where another local user may have
// bound it first, so the service must prove who runs it.
struct TrustedPeer {
  uid_t uid;
  // How the refusal names this uid ("this user") and how to opt in anyway.
  std::string_view described_as;
  std::string_view opt_in;
};

struct ServiceAddress {
  std::string path;
  std::optional<TrustedPeer> trusted;  // nullopt: whoever listens is accepted
  // Told the connection's descriptor as soon as it exists, before anything is
  // sent, by ordinary code (not from a signal handler). A caller whose wait
  // may have to end early, such as on Ctrl-C, can then shut the socket down
  // from its signal handler: interrupted calls are otherwise repeated.
  void (*on_connected)(int fd) = nullptr;
};

// The path of resolve_socket_path, with the peer rule for it: none when
// KELVANE_OPERATOR_APPROVAL_SOCK chose it, root or `own_uid` otherwise.
ServiceAddress resolve_service_address(const EnvLookup& env, uid_t own_uid);

// Refuses, before anything is sent, a service whose credentials
// (SO_PEERCRED) show neither root nor the trusted uid. The refusal names the
// path and the uid it found.
Result<void, io::Error> check_service_peer(int fd, const std::string& path,
                                           const TrustedPeer& trusted);

// Connects one AF_UNIX stream socket (close-on-exec). Creates the socket
// before looking at the path, so that a failure to make one is reported even
// for an unusable path; refuses paths with a NUL byte or too long for
// sun_path; connects once, never retrying. Leaves no descriptor open when it
// fails.
Result<FileDescriptor, io::Error> connect_unix_stream(const std::string& path);

// Sends every byte on a socket, repeating interrupted calls. Never raises
// SIGPIPE: a vanished peer gives EPIPE.
Result<void, io::Error> write_all(int fd, std::string_view bytes);
// The same for pieces sent back to back, as one stream, in as few calls as
// the socket takes (the request line around a context of its own).
Result<void, io::Error> write_all(int fd, std::span<const std::string_view, 3> pieces);

// Reads from a descriptor through a fixed 8192-byte buffer that is refilled
// only when empty.
struct LineReader {
  static constexpr std::size_t kCapacity = 8192;

  explicit LineReader(int descriptor) noexcept : fd(descriptor) {}

  int fd;
  std::size_t pos = 0;     // next unread byte
  std::size_t filled = 0;  // end of the received bytes
  std::array<char, kCapacity> buffer;
};

// Appends one line (up to and including its line feed, or up to the end of
// the stream) to `line` and returns the number of bytes appended. The bytes
// appended must be UTF-8; if they are not, `line` is put back as it was. A
// receive error is reported in preference to that. `Line` is std::string or
// ByteBuffer, which holds a long line without copying it as it grows.
template <class Line>
Result<std::size_t, io::Error> read_line(LineReader& reader, Line& line);

// The reply line, trimmed and decoded; a JSON error becomes an io::Error with
// the same text.
Result<OperatorApprovalDecision, io::Error> decode_reply(std::string_view line);

// The whole round trip: path, connect, send the request line, read and decode
// one reply line, close. Writes nothing. When it returns the socket is closed,
// whatever the outcome; running out of memory on the way is reported as an
// "out of memory" error rather than ending the process.
Result<OperatorApprovalDecision, io::Error> request_decision(OperatorApprovalRequest request,
                                                             const EnvLookup& env = process_env);

// The same round trip to a service address chosen by the caller.
Result<OperatorApprovalDecision, io::Error> request_decision(OperatorApprovalRequest request,
                                                             const ServiceAddress& address);

}  // namespace kelvane::approval
