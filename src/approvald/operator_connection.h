// One operator's connection: its line reader, its answers in the order of
// the lines they answer, its events, its send buffer, and the history
// answer it may be streaming.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "request_id.h"
#include "requester.h"
#include "roles.h"
#include "send_buffer.h"
#include "service/namespace_owner.h"
#include "service/operator_protocol.h"
#include "service/store.h"
#include "service/verified_requester.h"
#include "support/file_descriptor.h"
#include "support/line_reader.h"

namespace kelvane::approvald {

// Where the answer to one operator line goes: the operator's connection and
// the line's place among its answers. Handed to whatever answers the line,
// now or later; an answer to a connection since closed is dropped.
struct Reply {
  std::uint64_t operator_key = 0;
  std::uint64_t slot = 0;
};

// A history answer written a page at a time (history_stream.cc): the
// daemon holds one page of the record, whatever its size.
struct HistoryStream {
  std::uint64_t slot = 0;
  std::string since;
  std::optional<std::uint64_t> left;  // with a limit: rows still to send
  bool placed = false;                // the first page's place is known
  service::Store::HistoryPlace next;  // where the next page starts
  bool reading = false;               // a page is being read
  bool started = false;               // the line's start is written
  // The answer's text as it is made: opened with the first page.
  service::RecordListAnswer answer{service::RecordListAnswer::Member::Records, false};
  bool opened = false;
  bool done = false;                   // the text holds the line's end
  std::string text;                    // written once the slot's turn comes
  std::set<RequestId> pending_listed;  // waiting requests the record gave
};

struct Operator {
  std::uint64_t key = 0;
  FileDescriptor fd;
  service::PeerCredentials credentials;
  std::optional<Identity> identity;
  LineReader reader{service::kMaxOperatorLine};
  bool input_closed = false;
  // Its lines are being served (serve_operator_lines): an answer given
  // meanwhile only fills its slot; the loop serving them goes on.
  bool serving = false;
  // Answers in the order of the lines they answer: a slot per line,
  // filled when its answer is ready (some wait for the record), sent
  // from the front. Votes on one connection are so recorded together.
  std::uint64_t next_slot = 0;
  std::map<std::uint64_t, std::optional<std::string>> replies;
  bool watching = false;
  // The first watch line's slot: answers to later lines are marked
  // "reply". Events wait in held_events while the answer of the latest
  // watch line (events_after) waits, so that it comes before them.
  std::optional<std::uint64_t> watch_slot;
  std::optional<std::uint64_t> events_after;
  std::string held_events;
  SendBuffer out;
  bool writing = false;  // EPOLLOUT asked for
  // Whose connection it is (operator_connections_per_user), and when one
  // whose user has no role is closed for saying nothing.
  service::Accountable owner;
  std::optional<Clock::time_point> idle_deadline;
  std::unique_ptr<HistoryStream> history;  // no other line is served meanwhile

  // A slot for the next line's answer.
  Reply take_slot() {
    const std::uint64_t slot = next_slot++;
    replies.emplace(slot, std::nullopt);
    return Reply{key, slot};
  }
  // Answers to lines after the first watch line say so ("reply").
  bool is_reply(std::uint64_t slot) const { return watch_slot && slot > *watch_slot; }
};

}  // namespace kelvane::approvald
