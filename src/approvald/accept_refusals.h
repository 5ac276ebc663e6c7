// Connections refused at accept, over a cap. A flood of them must neither
// write the disk full nor slow the loop for the users it does not come
// from: each takes no id, no row and no commit of its own. They are counted
// per owner and minute (the record has the counts), and only the first of
// each owner in a minute gets a journal line; the rest are summed up when
// the minute is over.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "service/namespace_owner.h"
#include "service/store.h"

namespace kelvane::approvald {

class AcceptRefusals {
 public:
  // Counts one refusal of `owner` at `now`; true when it is the first of
  // this owner in this minute (the one that gets its own journal line).
  bool count(const service::Accountable& owner, std::time_t now);
  // The counts not handed over yet, for the record; empty when none.
  std::vector<service::Store::AcceptRefusalCount> take_unwritten();
  // Journal lines for the minutes before `now`'s that are over: how many
  // refusals each owner had that were not logged one by one. Forgets them.
  std::vector<std::string> close_minutes(std::time_t now);

  // Nothing counted that is not written and closed.
  bool idle() const { return minute_totals_.empty() && unwritten_.empty(); }

  // "2026-12-08T04:21Z": the minute of `when`, as the record keeps it.
  static std::string minute_of(std::time_t when);

 private:
  using Key = std::pair<std::string, service::Accountable>;
  std::map<Key, std::uint64_t> minute_totals_;  // this minute's and not yet closed ones
  std::map<Key, std::uint64_t> unwritten_;
};

}  // namespace kelvane::approvald
