#include "operators/request_screen.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "operators/record_text.h"
#include "service/block.h"
#include "service/context_view.h"
#include "support/quoting.h"
#include "support/utf8.h"

namespace kelvane::operators {
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

// The summary's room: rows for the title and for the start of the detail,
// and columns for a name inside a line of the program's own.
constexpr std::size_t kTitleRows = 2;
constexpr std::size_t kDetailRows = 5;
constexpr std::size_t kNameColumns = 24;

// `text` laid out as text_field lays it out, in at most `max_rows` lines:
// past them the last line says that the rest is folded.
void folded_field(Block& block, std::string_view label, std::string_view text,
                  std::size_t max_rows) {
  Block whole;
  text_field(whole, label, text);
  const std::vector<std::string>& lines = whole.lines();
  const bool folds = lines.size() > max_rows;
  const std::size_t kept = folds ? max_rows - 1 : lines.size();
  for (std::size_t i = 0; i < kept; ++i) block.add(lines[i]);
  if (folds) block.add(std::string(service::kValueColumn, ' ') + "... (d shows the rest)");
}

// `text` as plain_or_quoted shows it, cut to take at most `columns`
// columns (a character takes at least one byte per column it takes).
std::string within(std::string_view text, std::string_view allowed, std::size_t columns) {
  std::string shown = plain_or_quoted(text, allowed);
  for (std::size_t keep = std::min(text.size(), columns); shown.size() > columns && keep > 0;
       --keep) {
    shown = quoted_prefix(text, keep);
  }
  return shown.size() <= columns ? shown
                                 : ""
                                   "...";
}

const json::Value* member(const json::Value& object, std::string_view name) {
  for (const json::Member& m : object.as_object()) {
    if (m.name() == name) return &m.value;
  }
  return nullptr;
}

std::string id_text(const json::Value* number) {
  if (number == nullptr || number->kind() != json::Value::Kind::Number ||
      number->as_number().kind() != json::Number::Kind::Unsigned64) {
    return "?";
  }
  return std::to_string(number->as_number().as_unsigned64());
}

// The user a sudo request's context says the command runs as, with its
// ids; nullopt when the context names none.
std::optional<std::string> run_as_text(const RequestRecord& r) {
  if (!r.context || !utf8::is_valid(*r.context)) return std::nullopt;
  Result<json::Value, json::Error> context = json::parse_value(*r.context);
  if (!context.ok() || context.value().kind() != json::Value::Kind::Object) return std::nullopt;
  const json::Value* user = member(context.value(), "runAsUser");
  if (user == nullptr || user->kind() != json::Value::Kind::String) return std::nullopt;
  return within(user->as_string(), "._-", kNameColumns) + " (uid " +
         id_text(member(context.value(), "runAsUid")) + ", gid " +
         id_text(member(context.value(), "runAsGid")) + ")";
}

std::size_t line_count(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

std::string summarize_record(const RequestRecord& record) {
  Block block;
  folded_field(block, "title", record.title, kTitleRows);
  std::string requester = "uid " + std::to_string(record.verified_uid);
  if (!record.verified_user.empty()) {
    requester += " (" + within(record.verified_user, "._-", kNameColumns) + ")";
  }
  if (record.via_sudo) requester += ", through sudo";
  plain_field(block, "requester", requester);
  if (const std::optional<std::string> run_as = run_as_text(record)) {
    plain_field(block, "run as", *run_as);
  }
  folded_field(block, "detail", record.detail, kDetailRows);
  folded_field(block, "target host", record.target_host, 1);
  if (record.host) folded_field(block, "waits on host", *record.host, 1);
  plain_field(block, "approvals", votes_so_far(record));
  plain_field(block, "more",
              "d shows the whole request (" + std::to_string(line_count(describe_record(record))) +
                  " lines)");
  const std::string name = "request " + within(record.id, "", kNameColumns);
  return "\n" + service::fenced(block, name, "end of " + name);
}

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

}  // namespace kelvane::operators
