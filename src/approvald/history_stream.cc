// `history` written a page at a time: kHistoryPage requests are read from
// the record (on the reader thread), written to the operator, and the next
// page is read only once the operator has taken what was written. The
// daemon's memory does not grow with the record, and a slow reader holds
// a page or two. With a limit, the newest that many are sent, oldest first.
#include <ctime>

#include "daemon.h"
#include "service/answer.h"

namespace kelvane::approvald {
namespace {

// The next page is read while less than this is left unsent, so that one
// is ready when the operator has taken the last: what is held stays about
// this much plus a page.
constexpr std::size_t kNextPageBelow = std::size_t{256} << 10;

}  // namespace

void Daemon::read_history_page(Operator& o) {
  HistoryStream& asked = *o.history;
  asked.reading = true;
  auto page = std::make_shared<std::vector<service::RequestRecord>>();
  auto place = std::make_shared<service::Store::HistoryPlace>(asked.next);
  const bool placed = asked.placed;
  const std::string since = asked.since;
  const std::optional<std::uint64_t> left = asked.left;
  const std::size_t count =
      left ? static_cast<std::size_t>(std::min<std::uint64_t>(*left, kHistoryPage)) : kHistoryPage;
  const std::uint64_t key = o.key;
  read_record(
      [page, place, placed, since, left,
       count](service::Store& store) -> Result<void, std::string> {
        if (!placed) {
          *place = {since, 0};
          if (left) {
            auto start = store.newest_start(since, *left);
            if (!start.ok()) return fail(std::move(start).error());
            if (start.value()) *place = *start.value();
          }
        }
        auto read = store.history_page(*place, count);
        if (!read.ok()) return fail(std::move(read).error());
        *page = std::move(read).value();
        return {};
      },
      [this, key, page, place, count](Result<void, std::string> done) {
        // The record's ids are numbers; one that is not ends the read as
        // any other fault of the record does.
        const std::optional<RequestId> last_id =
            page->empty() ? std::nullopt : RequestId::parse(page->back().id);
        if (done.ok() && !page->empty() && !last_id)
          done = fail("request id \"" + page->back().id + "\" is not a number");
        auto found = operators_.find(key);
        if (found == operators_.end() || !found->second->history) return;
        Operator& op = *found->second;
        HistoryStream& stream = *op.history;
        stream.reading = false;
        if (!done.ok()) {
          journal_.note("cannot read the record: " + done.error());
          if (!stream.started) {
            // Nothing written yet: the line is answered with the error.
            const Reply to{op.key, stream.slot};
            op.history.reset();
            refuse(to, service::kOperatorRefused, "the record cannot be read");
            return;
          }
          // Half a line cannot be taken back: the connection ends.
          op.history.reset();
          drop_slow_operator(op);
          return;
        }
        stream.placed = true;
        const bool last = page->size() < count || (stream.left && *stream.left == page->size());
        if (last_id) stream.next = {page->back().created_at, last_id->number() + 1};
        if (stream.left) *stream.left -= page->size();
        add_history_page(stream, std::move(*page), last);
        pump_history(op);
        if (operators_.count(key) != 0) serve_operator_lines(op);
      });
}

void Daemon::add_history_page(HistoryStream& stream, std::vector<service::RequestRecord> records,
                              bool last) const {
  if (!stream.opened) {
    stream.answer.open(stream.text);
    stream.opened = true;
  }
  const auto add = [&](const service::RequestRecord& record) {
    stream.answer.add(stream.text, record);
  };
  // The record read apart from the commits may lag behind the loop: a new
  // request's row waits for company up to CommitThread::kDeferLimit, a
  // vote or a refused verdict is being written. What the loop knows of
  // them is what operators see elsewhere (list, watch, show).
  for (service::RequestRecord& record : records) {
    if (const auto* sent = unrecorded(record.id)) {
      record.state = sent->state;
      record.decided_at = sent->decided_at;
      record.detail_of_verdict = sent->detail_of_verdict;
    } else if (const Requester* open = pending_request(record.id)) {
      record = open->record;
      stream.pending_listed.insert(open->id);
    }
    add(record);
  }
  if (!last) return;
  // Waiting requests whose rows are not written yet: the newest of all.
  for (const auto& [id, key] : pending_) {
    if (stream.left && *stream.left == 0) break;
    if (!shown_to_operators(*requesters_.at(key))) continue;
    const service::RequestRecord& open = requesters_.at(key)->record;
    if (open.created_at < stream.since || stream.pending_listed.count(id) != 0) continue;
    add(open);
    if (stream.left) --*stream.left;
  }
  stream.answer.close(stream.text);
  stream.done = true;
}

void Daemon::pump_history(Operator& o) {
  if (!o.history) return;
  HistoryStream& stream = *o.history;
  // Its turn comes once every earlier line is answered.
  if (o.replies.empty() || o.replies.begin()->first != stream.slot) return;
  if (!stream.text.empty()) {
    stream.started = true;
    std::string text = std::move(stream.text);
    stream.text = {};
    // What was sent goes first: the buffer holds what is unsent and a page.
    o.out.compact();
    o.out.append(text);
    flush_operator(o);
  }
  if (stream.done) {
    const std::uint64_t slot = stream.slot;
    o.history.reset();
    // The slot's answer is all written; later answers and held events follow.
    fill_slot(o, slot, std::string());
    if (!o.held_events.empty() && (!o.events_after || o.replies.count(*o.events_after) == 0)) {
      const std::string events = std::move(o.held_events);
      o.held_events = {};
      write_to_operator(o, events);
    }
    return;
  }
  if (!stream.reading && unsent(o) < kNextPageBelow) read_history_page(o);
}

}  // namespace kelvane::approvald
