// A request's id: a number in the daemon, written as text only where the
// record and the operators' protocol carry it.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/decimal.h"

namespace kelvane::approvald {

class RequestId {
 public:
  constexpr explicit RequestId(std::uint64_t number) noexcept : number_(number) {}

  // The id a text names: decimal digits as the daemon writes them (no sign,
  // no leading zero), or nullopt. Never throws: operators and the record
  // hand the loop whatever text they have.
  static std::optional<RequestId> parse(std::string_view text) noexcept {
    if (text.size() > 1 && text.front() == '0') return std::nullopt;
    const std::optional<std::uint64_t> number = parse_decimal(text);
    if (!number) return std::nullopt;
    return RequestId(*number);
  }

  constexpr std::uint64_t number() const noexcept { return number_; }
  std::string text() const { return std::to_string(number_); }
  constexpr auto operator<=>(const RequestId&) const = default;

 private:
  std::uint64_t number_;
};

}  // namespace kelvane::approvald
