// One structured line per decision: to the journal when the daemon runs
// under systemd, to standard error otherwise.
#pragma once

#include <string>
#include <string_view>

#include "service/operator_protocol.h"

namespace kelvane::approvald {

class DecisionJournal {
 public:
  // Journal when JOURNAL_STREAM names this process's standard error
  // (systemd connected it to the journal), standard error otherwise.
  DecisionJournal();

  // A request that stopped waiting: its record as it closed.
  void decision(const service::RequestRecord& record);
  // A connection answered without a request being read (caps, bad lines).
  void refusal(std::string_view verdict, std::uint64_t uid, std::uint64_t pid,
               std::string_view detail);
  // Anything else worth a line: start, reload, errors.
  void note(std::string_view text);

 private:
  void emit(const std::string& line, int priority);
  bool journald_;
};

// The text of a decision line (what `decision` writes, without the journal's
// own fields): key=value pairs, texts quoted and escaped.
std::string decision_text(const service::RequestRecord& record);

}  // namespace kelvane::approvald
