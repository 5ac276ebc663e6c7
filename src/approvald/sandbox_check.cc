#include "sandbox_check.h"

#include <ifaddrs.h>
#include <libpq-fe.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string_view>

#include "support/file_descriptor.h"

namespace kelvane::approvald {
namespace {

// What the administrator changes, in the words of docs/fleet.md.
constexpr std::string_view kRemedy =
    "enable the fleet drop-in (kelvane-operator-approvald.service.d/fleet-network.conf, see "
    "docs/fleet.md), which allows RestrictAddressFamilies=AF_INET AF_INET6 and sets "
    "PrivateNetwork=no";

// host=a,b,c: each entry.
void append_entries(std::vector<std::string>& out, std::string_view list, bool addresses) {
  while (!list.empty()) {
    const std::size_t comma = std::min(list.find(','), list.size());
    const std::string_view entry = list.substr(0, comma);
    if (!entry.empty() && (addresses || (entry.front() != '/' && entry.front() != '@')))
      out.emplace_back(entry);
    list.remove_prefix(comma == list.size() ? comma : comma + 1);
  }
}

bool is_loopback(std::string_view host) {
  return host == "localhost" || host == "::1" || host.starts_with("127.");
}

bool can_make_socket(int family) {
  const FileDescriptor fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return fd.is_open();
}

// An interface other than loopback that is up.
bool has_network() {
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return true;  // cannot tell: let the connection say
  bool found = false;
  for (const ifaddrs* i = interfaces; i != nullptr && !found; i = i->ifa_next) {
    found = (i->ifa_flags & IFF_UP) != 0 && (i->ifa_flags & IFF_LOOPBACK) == 0;
  }
  ::freeifaddrs(interfaces);
  return found;
}

}  // namespace

std::vector<std::string> tcp_hosts_of(const std::string& conninfo) {
  std::vector<std::string> hosts;
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &message);
  PQfreemem(message);
  if (options == nullptr) return hosts;
  for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (option->val == nullptr) continue;
    const std::string_view keyword = option->keyword;
    if (keyword == "host" || keyword == "hostaddr")
      append_entries(hosts, option->val, keyword == "hostaddr");
  }
  PQconninfoFree(options);
  return hosts;
}

Result<void, std::string> check_fleet_reachable(const std::string& conninfo) {
  const std::vector<std::string> hosts = tcp_hosts_of(conninfo);
  if (hosts.empty()) return {};
  const std::string why =
      "store = \"postgresql\" reaches its database over TCP (" + hosts.front() + "), but ";
  if (!can_make_socket(AF_INET) && !can_make_socket(AF_INET6)) {
    return fail(why +
                "this service may not make IPv4 or IPv6 sockets (the unit's "
                "RestrictAddressFamilies=AF_UNIX): " +
                std::string(kRemedy));
  }
  for (const std::string& host : hosts) {
    if (!is_loopback(host) && !has_network()) {
      return fail(why +
                  "this service has no network but loopback (the unit's PrivateNetwork=yes): " +
                  std::string(kRemedy));
    }
  }
  return {};
}

}  // namespace kelvane::approvald
