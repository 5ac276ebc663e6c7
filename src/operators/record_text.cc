#include "operators/record_text.h"

#include <algorithm>
#include <array>

#include "support/quoting.h"

namespace kelvane::operators {
namespace {

bool is_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

constexpr std::array<std::string_view, 8> kStates = {
    "pending", "approved", "denied", "expired", "refused", "invalid", "withdrawn", "abandoned",
};

}  // namespace

std::string plain_or_quoted(std::string_view text, std::string_view allowed) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
    return is_alnum(c) || allowed.find(c) != std::string_view::npos;
  });
  return plain ? std::string(text) : quoted(text);
}

std::string requester_name(const service::RequestRecord& record) {
  // User names come from the name service, which need not be local files.
  std::string name = record.verified_user.empty() ? "uid " + std::to_string(record.verified_uid)
                                                  : plain_or_quoted(record.verified_user, "._-");
  if (record.via_sudo) name += " via sudo";
  // In the fleet: the host the request was made on (the database vouches).
  if (record.host) name += " on " + plain_or_quoted(*record.host, "._-");
  return name;
}

std::string state_word(std::string_view state) {
  if (std::find(kStates.begin(), kStates.end(), state) != kStates.end()) return std::string(state);
  return quoted(state);
}

std::string voter_name(const service::VoteRecord& vote) {
  std::string name = vote.operator_name.empty() ? "uid " + std::to_string(vote.uid)
                                                : plain_or_quoted(vote.operator_name, "._-");
  if (vote.host) name += "@" + plain_or_quoted(*vote.host, "._-");
  return name;
}

std::string votes_so_far(const service::RequestRecord& record) {
  const auto approvals = std::count_if(record.votes.begin(), record.votes.end(),
                                       [](const service::VoteRecord& v) { return v.approve; });
  return std::to_string(approvals) + "/" + std::to_string(record.needed);
}

std::string time_text(std::string_view time) {
  return plain_or_quoted(time, "-:.+");
}

}  // namespace kelvane::operators

namespace kelvane::operators {

std::string message_text(std::string_view text) {
  const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
  });
  return printable && !text.empty() ? std::string(text) : quoted(text);
}

}  // namespace kelvane::operators
