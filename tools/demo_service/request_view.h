// What the operator reads about one request: who asks, as the kernel vouches
// for it and as the request declares it, and what is asked.
#pragma once

#include <cstdint>
#include <string>

#include "service/peer.h"
#include "service/request.h"

namespace kelvane::service {

// The request's block, fenced and numbered, ending in a line feed.
std::string describe_request(const Request& request, const Peer& peer, std::uint64_t number);

// "uid 1000 (alice)", or "uid 1000" for a uid without a name.
std::string describe_uid(const Peer& peer);

}  // namespace kelvane::service
