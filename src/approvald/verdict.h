// How a request ends, as the daemon decides it: the record and the
// operators' protocol write it as its state's text (state_text).
#pragma once

#include <optional>
#include <string_view>

namespace kelvane::approvald {

enum class Verdict { Approved, Denied, Refused, Withdrawn, Expired };

constexpr std::string_view state_text(Verdict verdict) noexcept {
  switch (verdict) {
    case Verdict::Approved:
      return "approved";
    case Verdict::Denied:
      return "denied";
    case Verdict::Refused:
      return "refused";
    case Verdict::Withdrawn:
      return "withdrawn";
    case Verdict::Expired:
      break;
  }
  return "expired";
}

// The verdict a closed request's state names (the fleet's database gives
// states as text); nullopt for "pending" and for states no verdict has.
constexpr std::optional<Verdict> verdict_named(std::string_view state) noexcept {
  for (const Verdict verdict : {Verdict::Approved, Verdict::Denied, Verdict::Refused,
                                Verdict::Withdrawn, Verdict::Expired}) {
    if (state_text(verdict) == state) return verdict;
  }
  return std::nullopt;
}

// What the requester is told: a withdrawn request is refused to it.
constexpr std::string_view sent_verdict(Verdict verdict) noexcept {
  return state_text(verdict == Verdict::Withdrawn ? Verdict::Refused : verdict);
}

}  // namespace kelvane::approvald
