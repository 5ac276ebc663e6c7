#include "sudo/plugin_options.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "sudo/settings.h"
#include "support/decimal.h"

namespace kelvane::sudo {
namespace {

// (uid_t)-1 means "no change" to the system calls that take a uid.
constexpr std::uint64_t kMaxUid = std::numeric_limits<uid_t>::max() - 1;

Result<void, std::string> apply(PluginOptions& options, std::string_view name,
                                std::string_view value, std::string_view word) {
  if (name == "socket") {
    if (value.empty() || value.front() != '/') {
      return fail("socket= needs an absolute path: " + std::string(word));
    }
    options.socket = std::string(value);
  } else if (name == "service_uid") {
    const auto uid = parse_decimal(value, kMaxUid);
    if (!uid) return fail("service_uid= needs a numeric uid: " + std::string(word));
    options.service_uid = static_cast<uid_t>(*uid);
  } else if (name == "timeout") {
    const auto seconds = parse_decimal(value);
    if (!seconds) return fail("timeout= needs a number of seconds: " + std::string(word));
    options.timeout_secs = *seconds;
  } else if (name == "user_writable") {
    if (value == "refuse") {
      options.user_writable = UserWritable::kRefuse;
    } else if (value == "ask") {
      options.user_writable = UserWritable::kAsk;
    } else {
      return fail("user_writable= needs refuse or ask: " + std::string(word));
    }
  } else {
    return fail("unknown option: " + std::string(word));
  }
  return {};
}

}  // namespace

Result<PluginOptions, std::string> parse_plugin_options(char* const* words) {
  PluginOptions options;
  if (words == nullptr) return options;
  std::vector<std::string_view> seen;
  for (char* const* entry = words; *entry != nullptr; ++entry) {
    const std::string_view word(*entry);
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos) return fail("unknown option: " + std::string(word));
    const std::string_view name = word.substr(0, equals);
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
      return fail("option given twice: " + std::string(word));
    }
    KOA_TRY_VOID(apply(options, name, word.substr(equals + 1), word));
    seen.push_back(name);
  }
  return options;
}

}  // namespace kelvane::sudo
