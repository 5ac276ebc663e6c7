#include "service/operator_protocol.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "json/json.h"
#include "json/value.h"
#include "service/syntax_words.h"
#include "support/utf8.h"

namespace kelvane::service {
namespace {

using json::Value;
using Kind = json::Value::Kind;

// --- Writing -------------------------------------------------------------

// Every line is built as one tree of values and written by one call of the
// writer: members come out in its canonical order, and the writer's cost per
// call is paid once per line rather than once per token.
Value text(std::string_view value) {
  return Value::string(value);
}

Value number(std::uint64_t value) {
  return Value::number(json::Number::unsigned64(value));
}

Value whole_number(std::int64_t value) {
  return Value::number(value < 0 ? json::Number::negative64(value)
                                 : json::Number::unsigned64(static_cast<std::uint64_t>(value)));
}

Value peer_value(const PeerRecord& peer) {
  json::Map object;
  object.insert("uid", number(peer.uid));
  object.insert("gid", number(peer.gid));
  object.insert("pid", number(peer.pid));
  object.insert("name", text(peer.name));
  object.insert("executable", text(peer.executable));
  return std::move(object).to_value();
}

Value votes_value(const std::vector<VoteRecord>& votes) {
  std::vector<Value> elements;
  elements.reserve(votes.size());
  for (const VoteRecord& vote : votes) {
    json::Map object;
    object.insert("operator", text(vote.operator_name));
    object.insert("uid", number(vote.uid));
    object.insert("approve", Value::boolean(vote.approve));
    if (vote.reason) object.insert("reason", text(*vote.reason));
    object.insert("at", text(vote.at));
    if (vote.host) object.insert("host", text(*vote.host));
    if (vote.signature) object.insert("signature", text(*vote.signature));
    if (vote.key_fingerprint) object.insert("keyFingerprint", text(*vote.key_fingerprint));
    if (vote.signed_at) object.insert("signedAt", whole_number(*vote.signed_at));
    elements.push_back(std::move(object).to_value());
  }
  return Value::array(elements);
}

Value record_value(const RequestRecord& r) {
  json::Map object;
  object.insert("id", text(r.id));
  object.insert("state", text(r.state));
  object.insert("title", text(r.title));
  object.insert("detail", text(r.detail));
  object.insert("action", text(r.action));
  object.insert("requester", text(r.requester));
  object.insert("sourceHost", text(r.source_host));
  object.insert("targetHost", text(r.target_host));
  if (r.operation_digest) object.insert("operationDigest", text(*r.operation_digest));
  if (r.context) {
    // The text is what the daemon read and checked; a context that does not
    // read (nothing here makes one) is left out rather than sent broken.
    if (auto context = json::parse_value(*r.context); context.ok())
      object.insert("context", std::move(context).value());
  }
  object.insert("timeoutSecs", number(r.timeout_secs));
  object.insert("createdAt", text(r.created_at));
  if (r.decided_at) object.insert("decidedAt", text(*r.decided_at));
  object.insert("verifiedUid", number(r.verified_uid));
  object.insert("verifiedUser", text(r.verified_user));
  object.insert("viaSudo", Value::boolean(r.via_sudo));
  object.insert("peer", peer_value(r.peer));
  object.insert("votes", votes_value(r.votes));
  object.insert("needed", number(r.needed));
  if (r.detail_of_verdict) object.insert("detailOfVerdict", text(*r.detail_of_verdict));
  // Which policy rule decided or asked, and the approval a reuse repeats.
  if (r.rule) object.insert("rule", text(*r.rule));
  if (r.reused_from) object.insert("reusedFrom", text(*r.reused_from));
  // The fleet's: which host the request waits on.
  if (r.host) object.insert("host", text(*r.host));
  return std::move(object).to_value();
}

Value records_value(const std::vector<RequestRecord>& records) {
  std::vector<Value> elements;
  elements.reserve(records.size());
  for (const RequestRecord& record : records) elements.push_back(record_value(record));
  return Value::array(elements);
}

std::string line_of(json::Map&& object) {
  std::string out;
  json::Serializer(out).serialize(std::move(object).to_value());
  out += '\n';
  return out;
}

// --- Reading -------------------------------------------------------------

// One member's value, read whole; its own nesting is within the reader's
// limit because the outer levels of a line are taken apart first
// (json::split_object, json::split_array).
Result<Value, std::string> read_value(std::string_view name, std::string_view text) {
  auto value = json::parse_value(text);
  if (!value.ok()) {
    return fail("the member \"" + std::string(name) +
                "\" does not read as JSON: " + value.error().to_string());
  }
  return std::move(value).value();
}

// Where a line's own grammar fails: the common cases in the words the
// request socket uses for them too, the rest in the reader's; each at the
// reader's position.
std::string syntax_problem(const json::Error& e) {
  const std::optional<std::string_view> what = syntax_words(e.code());
  if (!what) return e.to_string();
  return std::string(*what) + " at line " + std::to_string(e.line()) + " column " +
         std::to_string(e.column());
}

std::string wrong_type(std::string_view name, std::string_view expected) {
  return "the member \"" + std::string(name) + "\" is not " + std::string(expected);
}

Result<std::string, std::string> as_text(std::string_view name, const Value& value) {
  if (value.kind() != Kind::String) return fail(wrong_type(name, "a string"));
  return std::string(value.as_string());
}

Result<std::uint64_t, std::string> as_unsigned(std::string_view name, const Value& value) {
  if (value.kind() != Kind::Number || value.as_number().kind() != json::Number::Kind::Unsigned64)
    return fail(wrong_type(name, "a whole number from 0"));
  return value.as_number().as_unsigned64();
}

// An object of whole numbers by name.
Result<std::map<std::string, std::uint64_t>, std::string> as_counts(std::string_view name,
                                                                    const Value& value) {
  if (value.kind() != Kind::Object) return fail(wrong_type(name, "an object"));
  std::map<std::string, std::uint64_t> counts;
  for (const json::Member& member : value.as_object()) {
    auto count = as_unsigned(name, member.value);
    if (!count.ok()) return fail(std::move(count).error());
    counts[std::string(member.name())] = count.value();
  }
  return counts;
}

// Unix seconds, either side of 1970.
Result<std::int64_t, std::string> as_whole(std::string_view name, const Value& value) {
  const bool whole = value.kind() == Kind::Number &&
                     value.as_number().kind() != json::Number::Kind::Double &&
                     (value.as_number().kind() == json::Number::Kind::Negative64 ||
                      value.as_number().as_unsigned64() <= INT64_MAX);
  if (!whole) return fail(wrong_type(name, "a whole number of Unix seconds"));
  const json::Number n = value.as_number();
  return n.kind() == json::Number::Kind::Negative64 ? n.as_negative64()
                                                    : static_cast<std::int64_t>(n.as_unsigned64());
}

Result<bool, std::string> as_bool(std::string_view name, const Value& value) {
  if (value.kind() != Kind::Bool) return fail(wrong_type(name, "true or false"));
  return value.as_bool();
}

// A request id: decimal digits, as the daemon hands them out.
bool is_request_id(std::string_view id) {
  return !id.empty() && id.size() <= 20 &&
         std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The member of a read object with this name, or null.
const Value* member(const Value& object, std::string_view name) {
  for (const json::Member& m : object.as_object()) {
    if (m.name() == name) return &m.value;
  }
  return nullptr;
}

// Assigns `result`'s value to `slot`, or carries its error out.
#define KOA_TAKE(slot, expression)                 \
  do {                                             \
    auto taken_ = (expression);                    \
    if (!taken_.ok()) return fail(taken_.error()); \
    slot = std::move(taken_).value();              \
  } while (false)

Result<PeerRecord, std::string> read_peer(const Value& value) {
  if (value.kind() != Kind::Object) return fail(wrong_type("peer", "an object"));
  PeerRecord peer;
  const std::array<std::pair<std::string_view, std::uint64_t*>, 3> numbers = {
      {{"uid", &peer.uid}, {"gid", &peer.gid}, {"pid", &peer.pid}}};
  for (const auto& [name, slot] : numbers) {
    const Value* v = member(value, name);
    if (v == nullptr) return fail("the peer has no \"" + std::string(name) + "\"");
    KOA_TAKE(*slot, as_unsigned(name, *v));
  }
  const std::array<std::pair<std::string_view, std::string*>, 2> texts = {
      {{"name", &peer.name}, {"executable", &peer.executable}}};
  for (const auto& [name, slot] : texts) {
    const Value* v = member(value, name);
    if (v == nullptr) return fail("the peer has no \"" + std::string(name) + "\"");
    KOA_TAKE(*slot, as_text(name, *v));
  }
  return peer;
}

Result<VoteRecord, std::string> read_vote(const Value& value) {
  if (value.kind() != Kind::Object) return fail(std::string("a vote is not an object"));
  VoteRecord vote;
  const Value* name = member(value, "operator");
  const Value* uid = member(value, "uid");
  const Value* approve = member(value, "approve");
  const Value* at = member(value, "at");
  if (!name || !uid || !approve || !at) return fail(std::string("a vote lacks a member"));
  KOA_TAKE(vote.operator_name, as_text("operator", *name));
  KOA_TAKE(vote.uid, as_unsigned("uid", *uid));
  KOA_TAKE(vote.approve, as_bool("approve", *approve));
  KOA_TAKE(vote.at, as_text("at", *at));
  if (const Value* reason = member(value, "reason"); reason && !reason->is_null()) {
    KOA_TAKE(vote.reason, as_text("reason", *reason));
  }
  if (const Value* host = member(value, "host"); host && !host->is_null()) {
    KOA_TAKE(vote.host, as_text("host", *host));
  }
  if (const Value* signature = member(value, "signature"); signature && !signature->is_null()) {
    KOA_TAKE(vote.signature, as_text("signature", *signature));
  }
  if (const Value* key = member(value, "keyFingerprint"); key && !key->is_null()) {
    KOA_TAKE(vote.key_fingerprint, as_text("keyFingerprint", *key));
  }
  if (const Value* signed_at = member(value, "signedAt"); signed_at && !signed_at->is_null()) {
    KOA_TAKE(vote.signed_at, as_whole("signedAt", *signed_at));
  }
  return vote;
}

// The members of R, by wire name; `required` ones must be present.
enum class RField {
  Id,
  State,
  Title,
  Detail,
  Action,
  Requester,
  SourceHost,
  TargetHost,
  OperationDigest,
  Context,
  TimeoutSecs,
  CreatedAt,
  DecidedAt,
  VerifiedUid,
  VerifiedUser,
  ViaSudo,
  Peer,
  Votes,
  Needed,
  DetailOfVerdict,
  Rule,
  ReusedFrom,
  Host,
};

struct RFieldName {
  std::string_view name;
  RField field;
  bool required;
};

constexpr std::array<RFieldName, 23> kRecordFields = {{
    {"id", RField::Id, true},
    {"state", RField::State, true},
    {"title", RField::Title, true},
    {"detail", RField::Detail, true},
    {"action", RField::Action, true},
    {"requester", RField::Requester, true},
    {"sourceHost", RField::SourceHost, true},
    {"targetHost", RField::TargetHost, true},
    {"operationDigest", RField::OperationDigest, false},
    {"context", RField::Context, false},
    {"timeoutSecs", RField::TimeoutSecs, true},
    {"createdAt", RField::CreatedAt, true},
    {"decidedAt", RField::DecidedAt, false},
    {"verifiedUid", RField::VerifiedUid, true},
    {"verifiedUser", RField::VerifiedUser, true},
    {"viaSudo", RField::ViaSudo, true},
    {"peer", RField::Peer, true},
    {"votes", RField::Votes, true},
    {"needed", RField::Needed, true},
    {"detailOfVerdict", RField::DetailOfVerdict, false},
    {"rule", RField::Rule, false},
    {"reusedFrom", RField::ReusedFrom, false},
    {"host", RField::Host, false},
}};

std::string* text_slot(RequestRecord& r, RField field) {
  switch (field) {
    case RField::Id:
      return &r.id;
    case RField::State:
      return &r.state;
    case RField::Title:
      return &r.title;
    case RField::Detail:
      return &r.detail;
    case RField::Action:
      return &r.action;
    case RField::Requester:
      return &r.requester;
    case RField::SourceHost:
      return &r.source_host;
    case RField::TargetHost:
      return &r.target_host;
    case RField::CreatedAt:
      return &r.created_at;
    case RField::VerifiedUser:
      return &r.verified_user;
    default:
      return nullptr;
  }
}

Result<void, std::string> store_field(RequestRecord& r, RField field, std::string_view name,
                                      const Value& value) {
  if (std::string* slot = text_slot(r, field)) {
    KOA_TAKE(*slot, as_text(name, value));
    return {};
  }
  switch (field) {
    case RField::Rule:
      if (!value.is_null()) KOA_TAKE(r.rule, as_text(name, value));
      return {};
    case RField::ReusedFrom:
      if (!value.is_null()) KOA_TAKE(r.reused_from, as_text(name, value));
      return {};
    case RField::OperationDigest:
    case RField::DecidedAt:
    case RField::DetailOfVerdict:
    case RField::Host: {
      std::optional<std::string>& slot = field == RField::OperationDigest ? r.operation_digest
                                         : field == RField::DecidedAt     ? r.decided_at
                                         : field == RField::Host          ? r.host
                                                                          : r.detail_of_verdict;
      if (!value.is_null()) KOA_TAKE(slot, as_text(name, value));
      return {};
    }
    case RField::Context:
      r.context = json::to_json(value);
      return {};
    case RField::TimeoutSecs:
      KOA_TAKE(r.timeout_secs, as_unsigned(name, value));
      return {};
    case RField::VerifiedUid:
      KOA_TAKE(r.verified_uid, as_unsigned(name, value));
      return {};
    case RField::Needed:
      KOA_TAKE(r.needed, as_unsigned(name, value));
      return {};
    case RField::ViaSudo:
      KOA_TAKE(r.via_sudo, as_bool(name, value));
      return {};
    case RField::Peer:
      KOA_TAKE(r.peer, read_peer(value));
      return {};
    case RField::Votes:
      if (value.kind() != Kind::Array) return fail(wrong_type(name, "an array"));
      for (const Value& v : value.as_array()) {
        VoteRecord vote;
        KOA_TAKE(vote, read_vote(v));
        r.votes.push_back(std::move(vote));
      }
      return {};
    default:
      return {};
  }
}

const RFieldName* record_field(std::string_view name) {
  const auto known = std::find_if(kRecordFields.begin(), kRecordFields.end(),
                                  [&](const RFieldName& f) { return f.name == name; });
  return known == kRecordFields.end() ? nullptr : &*known;
}

Result<RequestRecord, std::string> check_required(
    RequestRecord&& record, const std::array<bool, kRecordFields.size()>& seen) {
  for (std::size_t i = 0; i < kRecordFields.size(); ++i) {
    if (kRecordFields[i].required && !seen[i])
      return fail("a request record has no \"" + std::string(kRecordFields[i].name) + "\"");
  }
  return std::move(record);
}

// R read member by member: for a record whose context nests deeper than the
// reader takes the record whole.
Result<RequestRecord, std::string> read_record_by_members(
    const std::vector<json::MemberText>& members) {
  RequestRecord record;
  std::array<bool, kRecordFields.size()> seen{};
  for (const json::MemberText& raw : members) {
    const RFieldName* known = record_field(raw.key);
    if (known == nullptr) continue;
    seen[static_cast<std::size_t>(known - kRecordFields.data())] = true;
    Value value;
    KOA_TAKE(value, read_value(raw.key, raw.value));
    if (auto stored = store_field(record, known->field, raw.key, value); !stored.ok())
      return fail(std::move(stored).error());
  }
  return check_required(std::move(record), seen);
}

// R from its tree, read whole; `raw` is its text, where the context's own
// text is taken from rather than written anew.
Result<RequestRecord, std::string> read_record_tree(const Value& tree, std::string_view raw) {
  if (tree.kind() != Kind::Object) return fail(std::string("a request record is not an object"));
  RequestRecord record;
  std::array<bool, kRecordFields.size()> seen{};
  for (const json::Member& m : tree.as_object()) {
    const RFieldName* known = record_field(m.name());
    if (known == nullptr) continue;
    seen[static_cast<std::size_t>(known - kRecordFields.data())] = true;
    if (known->field == RField::Context) {
      std::string_view text;
      if (auto members = json::split_object(raw); members.ok()) {
        for (const json::MemberText& member : members.value()) {
          if (member.key == "context") text = member.value;
        }
      }
      record.context = text.empty() ? json::to_json(m.value) : std::string(text);
      continue;
    }
    if (auto stored = store_field(record, known->field, m.name(), m.value); !stored.ok())
      return fail(std::move(stored).error());
  }
  return check_required(std::move(record), seen);
}

Result<RequestRecord, std::string> read_record(std::string_view text) {
  auto members = json::split_object(text);
  if (!members.ok()) return fail("a request record does not read: " + members.error().to_string());
  auto whole = json::parse_value(text);
  if (whole.ok()) return read_record_tree(whole.value(), text);
  if (whole.error().code() == json::ErrorCode::RecursionLimitExceeded)
    return read_record_by_members(members.value());
  return fail("a request record does not read: " + whole.error().to_string());
}

Result<std::vector<RequestRecord>, std::string> read_records_tree(const Value& tree,
                                                                  std::string_view raw) {
  auto elements = json::split_array(raw);
  if (!elements.ok() || tree.kind() != Kind::Array ||
      elements.value().size() != tree.as_array().size()) {
    return fail(std::string("a list of requests does not read"));
  }
  std::vector<RequestRecord> records;
  records.reserve(elements.value().size());
  for (std::size_t i = 0; i < elements.value().size(); ++i) {
    RequestRecord record;
    KOA_TAKE(record, read_record_tree(tree.as_array()[i], elements.value()[i]));
    records.push_back(std::move(record));
  }
  return records;
}

Result<std::vector<RequestRecord>, std::string> read_records(std::string_view text) {
  auto elements = json::split_array(text);
  if (!elements.ok())
    return fail("a list of requests does not read: " + elements.error().to_string());
  std::vector<RequestRecord> records;
  records.reserve(elements.value().size());
  for (const std::string_view element : elements.value()) {
    RequestRecord record;
    KOA_TAKE(record, read_record(element));
    records.push_back(std::move(record));
  }
  return records;
}

// What a daemon line holds, member by member, before it is sorted into an
// answer or an event.
struct DaemonMembers {
  OperatorAnswer answer;
  std::optional<bool> ok;
  std::optional<std::string> event;
  std::optional<std::string> id;
  bool has_status = false;
  bool has_error = false;
};

// One member of a daemon line: its text, and its value when the line was
// read whole (nullptr when a deep context kept the reader from that).
Result<void, std::string> read_daemon_member(DaemonMembers& line, std::string_view name,
                                             std::string_view text, const Value* parsed) {
  OperatorAnswer& a = line.answer;
  if (name == "requests" || name == "records") {
    auto& slot = name == "requests" ? a.requests : a.records;
    if (parsed) {
      KOA_TAKE(slot, read_records_tree(*parsed, text));
    } else {
      KOA_TAKE(slot, read_records(text));
    }
    return {};
  }
  if (name == "request") {
    if (parsed) {
      KOA_TAKE(a.request, read_record_tree(*parsed, text));
    } else {
      KOA_TAKE(a.request, read_record(text));
    }
    return {};
  }
  Value own;
  if (!parsed) KOA_TAKE(own, read_value(name, text));
  const Value& value = parsed ? *parsed : own;
  if (name == "ok") {
    KOA_TAKE(line.ok, as_bool(name, value));
  } else if (name == "reply") {
    KOA_TAKE(a.reply, as_bool(name, value));
  } else if (name == "status") {
    std::uint64_t status = 0;
    KOA_TAKE(status, as_unsigned(name, value));
    if (status > 255) return fail(std::string("the status is out of range"));
    a.status = static_cast<int>(status);
    line.has_status = true;
  } else if (name == "error") {
    KOA_TAKE(a.error, as_text(name, value));
    line.has_error = true;
  } else if (name == "state") {
    KOA_TAKE(a.state, as_text(name, value));
  } else if (name == "version") {
    KOA_TAKE(a.version, as_text(name, value));
  } else if (name == "kid") {
    KOA_TAKE(a.kid, as_text(name, value));
  } else if (name == "oldestPending") {
    KOA_TAKE(a.oldest_pending, as_text(name, value));
  } else if (name == "lastCommit") {
    KOA_TAKE(a.last_commit, as_text(name, value));
  } else if (name == "lastBackup") {
    KOA_TAKE(a.last_backup, as_text(name, value));
  } else if (name == "pendingByUser") {
    KOA_TAKE(a.pending_by_user, as_counts(name, value));
  } else if (name == "serviceHost") {
    KOA_TAKE(a.service_host, as_text(name, value));
  } else if (name == "signedVotes") {
    KOA_TAKE(a.signed_votes, as_bool(name, value));
  } else if (name == "event") {
    KOA_TAKE(line.event, as_text(name, value));
  } else if (name == "id") {
    KOA_TAKE(line.id, as_text(name, value));
  } else {
    const std::array<std::pair<std::string_view, std::optional<std::uint64_t>*>, 5> counts = {
        {{"votes", &a.votes},
         {"needed", &a.needed},
         {"uptimeSecs", &a.uptime_secs},
         {"pending", &a.pending},
         {"recordBytes", &a.record_bytes}}};
    for (const auto& [count_name, slot] : counts) {
      if (name == count_name) KOA_TAKE(*slot, as_unsigned(name, value));
    }
  }
  return {};
}

Result<DaemonLine, std::string> sort_daemon_line(DaemonMembers&& line) {
  if (line.event) {
    OperatorEvent event;
    if (*line.event == "pending") {
      if (!line.answer.request) return fail(std::string("a pending event has no request"));
      event.kind = OperatorEvent::Kind::Pending;
      event.request = std::move(line.answer.request);
    } else if (*line.event == "closed") {
      if (!line.id || !line.answer.state) return fail(std::string("a closed event lacks a member"));
      event.kind = OperatorEvent::Kind::Closed;
      event.id = std::move(*line.id);
      event.state = std::move(*line.answer.state);
    } else {
      return fail(std::string("the daemon sent an event of an unknown kind"));
    }
    return DaemonLine(std::move(event));
  }
  if (!line.ok) return fail(std::string("the daemon's line is neither an answer nor an event"));
  line.answer.ok = *line.ok;
  if (!line.answer.ok && (!line.has_status || !line.has_error))
    return fail(std::string("a refusal from the daemon has no status or no error"));
  return DaemonLine(std::move(line.answer));
}

// The members each op takes besides "op".
struct OpShape {
  OperatorOp op;
  std::string_view name;
  bool id;
  bool vote;
  bool since;
};

constexpr std::array<OpShape, 9> kOps = {{
    {OperatorOp::List, "list", false, false, false},
    {OperatorOp::Show, "show", true, false, false},
    {OperatorOp::Vote, "vote", true, true, false},
    {OperatorOp::History, "history", false, false, true},
    {OperatorOp::Status, "status", false, false, false},
    {OperatorOp::Cancel, "cancel", true, false, false},
    {OperatorOp::Watch, "watch", false, false, false},
    // Approval tokens.
    {OperatorOp::RotateKey, "rotate-key", false, false, false},
    {OperatorOp::Revoke, "revoke", true, false, false},
}};

const OpShape& shape_of(OperatorOp op) {
  return kOps[static_cast<std::size_t>(op)];
}

// A request's members, read but not yet checked against its op.
struct RequestMembers {
  std::optional<std::string> op;
  std::optional<std::string> id;
  std::optional<bool> approve;
  std::optional<std::string> reason;
  std::optional<std::int64_t> since;
  std::optional<std::uint64_t> limit;
  std::optional<std::string> signature;
  std::optional<std::int64_t> signed_at;
};

Result<void, std::string> read_request_member(RequestMembers& m, std::string_view name,
                                              const Value& value) {
  if (name == "op") {
    KOA_TAKE(m.op, as_text(name, value));
  } else if (name == "id") {
    KOA_TAKE(m.id, as_text(name, value));
    if (!is_request_id(*m.id)) return fail(std::string("the member \"id\" is not a request id"));
  } else if (name == "approve") {
    KOA_TAKE(m.approve, as_bool(name, value));
  } else if (name == "reason") {
    if (!value.is_null()) KOA_TAKE(m.reason, as_text(name, value));
  } else if (name == "since") {
    KOA_TAKE(m.since, as_whole(name, value));
  } else if (name == "limit") {
    if (value.kind() != Kind::Number ||
        value.as_number().kind() != json::Number::Kind::Unsigned64 ||
        value.as_number().as_unsigned64() == 0)
      return fail(wrong_type(name, "a whole number from 1"));
    m.limit = value.as_number().as_unsigned64();
  } else if (name == "signature") {
    KOA_TAKE(m.signature, as_text(name, value));
  } else if (name == "signedAt") {
    KOA_TAKE(m.signed_at, as_whole(name, value));
  } else {
    return fail("the request has an unknown member \"" + std::string(name) + "\"");
  }
  return {};
}

Result<OperatorRequest, std::string> check_request(RequestMembers&& m) {
  if (!m.op) return fail(std::string("the request has no \"op\""));
  const auto shape =
      std::find_if(kOps.begin(), kOps.end(), [&](const OpShape& s) { return s.name == *m.op; });
  if (shape == kOps.end()) return fail("there is no op \"" + *m.op + "\"");
  const std::string op = "the op \"" + *m.op + "\"";
  if (shape->id != m.id.has_value())
    return fail(op + (shape->id ? " needs an \"id\"" : " takes no \"id\""));
  if (!shape->vote && (m.approve || m.reason))
    return fail(op + " takes no \"approve\" or \"reason\"");
  if (shape->vote && !m.approve) return fail(op + " needs \"approve\"");
  if (!shape->vote && (m.signature || m.signed_at))
    return fail(op + " takes no \"signature\" or \"signedAt\"");
  if (m.signature.has_value() != m.signed_at.has_value())
    return fail(std::string("a signed vote needs both \"signature\" and \"signedAt\""));
  if (!shape->since && m.since) return fail(op + " takes no \"since\"");
  if (!shape->since && m.limit) return fail(op + " takes no \"limit\"");
  OperatorRequest request;
  request.op = shape->op;
  request.id = std::move(m.id).value_or("");
  request.approve = m.approve.value_or(false);
  request.reason = std::move(m.reason);
  request.since = m.since;
  request.limit = m.limit;
  request.signature = std::move(m.signature);
  request.signed_at = m.signed_at;
  return request;
}

#undef KOA_TAKE

}  // namespace

std::string_view op_name(OperatorOp op) {
  return shape_of(op).name;
}

std::string encode_operator_request(const OperatorRequest& request) {
  const OpShape& shape = shape_of(request.op);
  json::Map object;
  object.insert("op", text(shape.name));
  if (shape.id) object.insert("id", text(request.id));
  if (shape.vote) {
    object.insert("approve", Value::boolean(request.approve));
    if (request.reason) object.insert("reason", text(*request.reason));
    if (request.signature) object.insert("signature", text(*request.signature));
    if (request.signed_at) object.insert("signedAt", whole_number(*request.signed_at));
  }
  if (shape.since && request.limit)
    object.insert("limit", Value::number(json::Number::unsigned64(*request.limit)));
  if (shape.since && request.since) object.insert("since", whole_number(*request.since));
  return line_of(std::move(object));
}

Result<OperatorRequest, std::string> decode_operator_request(std::string_view line) {
  if (line.size() > kMaxOperatorLine)
    return fail("the line is longer than " + std::to_string(kMaxOperatorLine) + " bytes");
  if (!utf8::is_valid(line)) return fail(std::string("the line is not valid UTF-8"));
  const std::size_t first = line.find_first_not_of(" \t\n\r");
  if (first == std::string_view::npos || line[first] != '{')
    return fail(std::string("the request is not a JSON object"));
  auto members = json::split_object(line);
  if (!members.ok())
    return fail("the request is not valid JSON: " + syntax_problem(members.error()));
  RequestMembers read;
  std::vector<std::string_view> seen;
  for (const json::MemberText& raw : members.value()) {
    const std::string& name = raw.key;
    if (std::find(seen.begin(), seen.end(), name) != seen.end())
      return fail("the member \"" + name + "\" appears twice");
    seen.push_back(name);
    auto value = read_value(name, raw.value);
    if (!value.ok()) return fail(std::move(value).error());
    if (auto stored = read_request_member(read, name, value.value()); !stored.ok())
      return fail(std::move(stored).error());
  }
  return check_request(std::move(read));
}

void append_request_record(std::string& out, const RequestRecord& record) {
  json::Serializer(out).serialize(record_value(record));
}

OperatorAnswer refused_answer(int status, std::string error) {
  OperatorAnswer answer;
  answer.ok = false;
  answer.status = status;
  answer.error = std::move(error);
  return answer;
}

std::string encode_answer(const OperatorAnswer& a) {
  json::Map object;
  object.insert("ok", Value::boolean(a.ok));
  if (!a.ok) {
    object.insert("status", number(static_cast<std::uint64_t>(a.status)));
    object.insert("error", text(a.error));
  }
  if (a.reply) object.insert("reply", Value::boolean(true));
  if (a.requests) object.insert("requests", records_value(*a.requests));
  if (a.records) object.insert("records", records_value(*a.records));
  if (a.request) object.insert("request", record_value(*a.request));
  if (a.state) object.insert("state", text(*a.state));
  if (a.version) object.insert("version", text(*a.version));
  if (a.kid) object.insert("kid", text(*a.kid));
  if (a.oldest_pending) object.insert("oldestPending", text(*a.oldest_pending));
  if (a.last_commit) object.insert("lastCommit", text(*a.last_commit));
  if (a.last_backup) object.insert("lastBackup", text(*a.last_backup));
  if (a.pending_by_user) {
    json::Map counts;
    for (const auto& [user, count] : *a.pending_by_user) counts.insert(user, number(count));
    object.insert("pendingByUser", std::move(counts).to_value());
  }
  if (a.service_host) object.insert("serviceHost", text(*a.service_host));
  if (a.signed_votes) object.insert("signedVotes", Value::boolean(*a.signed_votes));
  const std::array<std::pair<std::string_view, const std::optional<std::uint64_t>*>, 5> counts = {
      {{"votes", &a.votes},
       {"needed", &a.needed},
       {"uptimeSecs", &a.uptime_secs},
       {"pending", &a.pending},
       {"recordBytes", &a.record_bytes}}};
  for (const auto& [name, slot] : counts) {
    if (*slot) object.insert(name, number(**slot));
  }
  return line_of(std::move(object));
}

std::string encode_event(const OperatorEvent& event) {
  json::Map object;
  if (event.kind == OperatorEvent::Kind::Pending) {
    object.insert("event", text("pending"));
    if (event.request) object.insert("request", record_value(*event.request));
  } else {
    object.insert("event", text("closed"));
    object.insert("id", text(event.id));
    object.insert("state", text(event.state));
  }
  return line_of(std::move(object));
}

std::string encode_pending_event(const RequestRecord& record) {
  std::string json;
  append_request_record(json, record);
  return encode_pending_event_of(json);
}

// Members in byte order, as json::Map writes them: "event" < "request".
std::string encode_pending_event_of(std::string_view record_json) {
  constexpr std::string_view start = R"({"event":"pending","request":)";
  std::string line;
  line.reserve(start.size() + record_json.size() + 2);
  line.append(start).append(record_json).append("}\n");
  return line;
}

// Members in byte order, as json::Map writes them: "ok" < "records" <
// "reply" < "requests".
void RecordListAnswer::open(std::string& out) const {
  out += R"({"ok":true,)";
  if (reply_ && member_ == Member::Requests) out += R"("reply":true,)";
  out += member_ == Member::Requests ? R"("requests":[)" : R"("records":[)";
}

void RecordListAnswer::add(std::string& out, const RequestRecord& record) {
  if (!first_) out += ',';
  first_ = false;
  append_request_record(out, record);
}

void RecordListAnswer::add_text(std::string& out, std::string_view record_json) {
  if (!first_) out += ',';
  first_ = false;
  out.append(record_json);
}

void RecordListAnswer::close(std::string& out) const {
  out += ']';
  if (reply_ && member_ == Member::Records) out += R"(,"reply":true)";
  out += "}\n";
}

Result<DaemonLine, std::string> decode_daemon_line(std::string_view line) {
  if (!utf8::is_valid(line)) return fail(std::string("the daemon's line is not valid UTF-8"));
  auto members = json::split_object(line);
  if (!members.ok()) return fail("the daemon's line does not read: " + members.error().to_string());
  // Read whole when the reader takes it (one pass for a list of thousands),
  // else member by member.
  auto whole = json::parse_value(line);
  if (!whole.ok() && whole.error().code() != json::ErrorCode::RecursionLimitExceeded)
    return fail("the daemon's line does not read: " + whole.error().to_string());
  DaemonMembers read;
  for (const json::MemberText& raw : members.value()) {
    const Value* parsed = whole.ok() ? member(whole.value(), raw.key) : nullptr;
    if (auto stored = read_daemon_member(read, raw.key, raw.value, parsed); !stored.ok())
      return fail(std::move(stored).error());
  }
  return sort_daemon_line(std::move(read));
}

}  // namespace kelvane::service
