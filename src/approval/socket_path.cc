#include <cstdlib>

#include "approval/connection.h"
#include "support/utf8.h"

namespace kelvane::approval {
namespace {

std::optional<std::string_view> usable(const EnvLookup& env, const char* name) {
  std::optional<std::string_view> value = env(name);
  if (!value || value->empty() || !utf8::is_valid(*value)) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string_view> process_env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string_view>(value) : std::nullopt;
}

ServiceAddress resolve_service_address(const EnvLookup& env, uid_t own_uid) {
  ServiceAddress address{resolve_socket_path(env), std::nullopt};
  if (!usable(env, kSocketVariable)) {
    address.trusted =
        TrustedPeer{own_uid, "this user", "set KELVANE_OPERATOR_APPROVAL_SOCK to use it"};
  }
  return address;
}

std::string resolve_socket_path(const EnvLookup& env) {
  if (const auto socket = usable(env, kSocketVariable)) return std::string(*socket);
  if (const auto dir = usable(env, kRuntimeDirVariable)) {
    std::string path(*dir);
    if (path.back() != '/') path += '/';
    path.append(kSocketFileName);
    return path;
  }
  return std::string(kDefaultSocketPath);
}

}  // namespace kelvane::approval
