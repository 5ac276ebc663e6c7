#include "approvals/request_screen.h"

#include <string_view>

#include "approvals/record_text.h"
#include "json/json.h"
#include "service/block.h"
#include "service/context_view.h"
#include "support/utf8.h"

namespace kelvane::approvals {
namespace {

using service::Block;
using service::RequestRecord;

using service::kLabelIndent;
using service::plain_field;
using service::text_field;

void context_lines(Block& block, const std::string& context) {
  block.add("  context");
  // The daemon checked it when the request came in; if it does not read
  // now, it is shown as the text it is rather than not at all.
  if (utf8::is_valid(context)) {
    Result<json::Value, json::Error> value = json::parse_value(context);
    if (value.ok()) {
      service::add_context(block, value.value(), kLabelIndent + 2);
      return;
    }
  }
  text_field(block, "  (as sent)", context);
}

void asked_part(Block& block, const RequestRecord& r) {
  block.add("what is asked:");
  text_field(block, "title", r.title);
  text_field(block, "detail", r.detail);
  text_field(block, "action", r.action);
  text_field(block, "target host", r.target_host);
  if (r.operation_digest) text_field(block, "digest", *r.operation_digest);
  if (r.context) context_lines(block, *r.context);
}

void verified_part(Block& block, const RequestRecord& r) {
  block.add("who asks, as the kernel reports it (verified; a process names itself):");
  std::string requester = "uid " + std::to_string(r.verified_uid);
  if (!r.verified_user.empty()) requester += " (" + plain_or_quoted(r.verified_user, "._-") + ")";
  if (r.via_sudo) requester += ", through sudo";
  plain_field(block, "requester", requester);
  // In the fleet, the host whose service it waits on, as the database
  // vouches for it.
  if (r.host) text_field(block, "waits on host", *r.host);
  plain_field(block, "connected as",
              "uid " + std::to_string(r.peer.uid) + ", gid " + std::to_string(r.peer.gid) +
                  ", process " + std::to_string(r.peer.pid));
  text_field(block, "its name", r.peer.name);
  if (!r.peer.executable.empty()) text_field(block, "running", r.peer.executable);
}

void declared_part(Block& block, const RequestRecord& r) {
  block.add("who asks, as the request declares it (not verified):");
  text_field(block, "requester", r.requester);
  text_field(block, "source host", r.source_host);
}

std::string vote_line(const service::VoteRecord& v) {
  std::string line = voter_name(v);
  line += v.approve ? " approved" : " denied";
  line += " at " + time_text(v.at);
  return line;
}

void decision_part(Block& block, const RequestRecord& r) {
  block.add("decision:");
  plain_field(block, "state", state_word(r.state) + "; approvals " + votes_so_far(r));
  plain_field(block, "asked at", time_text(r.created_at));
  plain_field(block, "time limit", std::to_string(r.timeout_secs) + " s");
  // Which policy rule asked or decided, and the approval a reuse repeats.
  if (r.rule) text_field(block, "policy rule", *r.rule);
  if (r.reused_from) text_field(block, "reuses approval", *r.reused_from);
  for (const service::VoteRecord& v : r.votes) {
    plain_field(block, "vote", vote_line(v));
    if (v.reason) text_field(block, "  reason", *v.reason);
  }
  if (r.decided_at) plain_field(block, "decided at", time_text(*r.decided_at));
  if (r.detail_of_verdict) text_field(block, "told client", *r.detail_of_verdict);
}

}  // namespace

std::string describe_record(const RequestRecord& record) {
  Block block;
  asked_part(block, record);
  verified_part(block, record);
  declared_part(block, record);
  decision_part(block, record);
  const std::string name = "request " + plain_or_quoted(record.id, "");
  std::string shown = "\n";
  shown += service::fenced(block, name, "end of " + name);
  return shown;
}

}  // namespace kelvane::approvals
