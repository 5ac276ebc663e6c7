// Who a request is from, as far as the kernel vouches for it: SO_PEERCRED's
// uid, gid and pid, and for sudo (the approval plugin runs inside it, as
// root) the invoking user instead of root.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "json/value.h"
#include "service/namespace_owner.h"
#include "service/operator_protocol.h"
#include "service/peer.h"  // user_name_of

namespace kelvane::service {

struct PeerCredentials {
  pid_t pid = 0;  // 0 when the peer is in a PID namespace we cannot see
  uid_t uid = 0;
  gid_t gid = 0;
};

// SO_PEERCRED of a connected Unix socket; nullopt if the kernel says nothing.
std::optional<PeerCredentials> peer_credentials(int connection);

// The facts the rule below decides on.
struct RequesterFacts {
  PeerCredentials credentials;
  std::optional<uid_t> real_uid;      // /proc/PID/status, while the process is there
  std::optional<uid_t> invoking_uid;  // the context's "invokingUid", as stated
  std::string executable;             // /proc/PID/exe; "" if unknown
};

struct VerifiedUid {
  uid_t uid = 0;
  bool via_sudo = false;
};

// The one rule on a stated invoking user (the context's "invokingUid"):
// believed only from a root peer whose real uid is root too and that runs
// sudo (the plugin, for a command sudo intercepts after becoming root).
// Every other peer is itself, whatever it states. Both the requester check
// (verified_uid) and the demo's decision log (believed_invoking_user) ask
// this, and nothing else decides it.
std::optional<uid_t> believed_invoking_uid(const RequesterFacts& facts);

// A non-root peer is itself, whatever its request says. A root peer whose
// real uid is not root is a set-user-id program run by that user (sudo
// before it changes user): that user. A root peer running sudo that states
// the invoking user (the plugin, for a command sudo intercepts after
// becoming root) is believed. Any other root peer is root, whatever its
// request says: a root job that forwards text it did not write must not be
// shown as another user asking through sudo.
VerifiedUid verified_uid(const RequesterFacts& facts);

// The real uid in /proc/PID/status; nullopt when it cannot be read.
std::optional<uid_t> real_uid_of(pid_t pid);
// The context's "invokingUid" if it is there and a uid.
std::optional<uid_t> stated_invoking_uid(const json::Value& context);

struct VerifiedRequester {
  VerifiedUid verified;
  std::string user;  // the verified uid's name
  PeerRecord peer;   // the kernel's facts and what the process says of itself
  // Who answers for the request, for every cap and for the rule against
  // approving one's own request: the verified uid, or the owner of the
  // user namespace the peer runs in.
  Accountable accountable;
};

// Reads /proc and the user database; may block (see user_name_of).
// `invoking_uid` is what the request's context states (stated_invoking_uid).
VerifiedRequester verify_requester(const PeerCredentials& credentials,
                                   std::optional<uid_t> invoking_uid);
// The same with the verified uid's name from `name_of` (a cache, say);
// reads only /proc then. `namespace_owner`: the owner of the peer's user
// namespace when it is not the daemon's (namespace_owner(), taken at
// accept), who answers for the request.
VerifiedRequester verify_requester(const PeerCredentials& credentials,
                                   std::optional<uid_t> invoking_uid,
                                   const std::function<std::string(uid_t)>& name_of,
                                   std::optional<Accountable> namespace_owner = std::nullopt);

}  // namespace kelvane::service
