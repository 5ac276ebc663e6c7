// Whether the sandbox the daemon was started in lets it reach what its
// configuration names, checked at start so that a unit that forbids it is
// named at once instead of every operator's connection failing later.
// Today: the fleet's database over TCP, which the shipped unit's
// RestrictAddressFamilies=AF_UNIX and PrivateNetwork=yes forbid until the
// fleet drop-in is enabled.
#pragma once

#include <string>
#include <vector>

#include "support/result.h"

namespace kelvane::approvald {

// The hosts of a libpq connection string (key=value or URI) reached over
// TCP: every host= entry that is not a Unix socket's directory (/...) or
// abstract name (@...), and every hostaddr= entry. An unreadable string
// gives none (the connection itself then says what is wrong).
std::vector<std::string> tcp_hosts_of(const std::string& conninfo);

// Refuses, naming the unit setting to change, when `conninfo` needs TCP and
// this process cannot make an IPv4 or IPv6 socket, or has no network but
// loopback while a host is not a loopback name or address.
Result<void, std::string> check_fleet_reachable(const std::string& conninfo);

}  // namespace kelvane::approvald
