// The decision line a service sends back.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "support/io_error.h"
#include "support/result.h"

namespace kelvane::service {

// How long an approval token stays good.
inline constexpr std::time_t kTokenLifetime = 15 * 60;

// 32 hexadecimal digits from the kernel's random source (getrandom), or why
// none could be had.
Result<std::string, io::Error> random_token();

// One JSON line, ending in a line feed: the verdict and its detail, the
// request's id as requestId (the client skips members it does not know), the
// approval token and its expiry. Id, token and expiry are left out when
// empty (the demo has no ids; a connection refused early has none yet).
std::string decision_line(std::string_view verdict, std::string_view detail,
                          std::string_view request_id = {}, std::string_view token = {},
                          std::string_view expires_at = {});

}  // namespace kelvane::service
