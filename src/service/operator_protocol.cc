#include "service/operator_protocol.h"

#include <algorithm>
#include <array>
#include <utility>

#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"
#include "service/object_members.h"
#include "support/utf8.h"

namespace kelvane::service {
namespace {

using json::Value;
using Kind = json::Value::Kind;

// --- Writing -------------------------------------------------------------

// The members of one object, collected and then written in byte order of
// their keys, so that every line is in the writer's canonical order whatever
// order the code below names them in.
class ObjectText {
 public:
  void text(std::string_view key, std::string_view value) {
    json::Serializer(add(key)).serialize_str(value);
  }
  void number(std::string_view key, std::uint64_t value) {
    json::Serializer(add(key)).serialize_unsigned(value);
  }
  void signed_number(std::string_view key, std::int64_t value) {
    json::Serializer(add(key)).serialize(
        value < 0 ? json::Number::negative64(value)
                  : json::Number::unsigned64(static_cast<std::uint64_t>(value)));
  }
  void boolean(std::string_view key, bool value) { add(key) = value ? "true" : "false"; }
  // `json` is already the member's compact JSON text.
  void raw(std::string_view key, std::string json) { add(key) = std::move(json); }

  void write_to(std::string& out) {
    std::sort(members_.begin(), members_.end(),
              [](const auto& a, const auto& b) { return json::key_less(a.first, b.first); });
    json::Serializer serializer(out);
    json::SerializeMap map = serializer.serialize_map(members_.size());
    for (const auto& [key, json_text] : members_) {
      map.serialize_key(key);
      out += json_text;
    }
    map.end();
  }

 private:
  std::string& add(std::string_view key) { return members_.emplace_back(key, "").second; }
  std::vector<std::pair<std::string_view, std::string>> members_;
};

std::string peer_text(const PeerRecord& peer) {
  ObjectText object;
  object.number("uid", peer.uid);
  object.number("gid", peer.gid);
  object.number("pid", peer.pid);
  object.text("name", peer.name);
  object.text("executable", peer.executable);
  std::string out;
  object.write_to(out);
  return out;
}

std::string votes_text(const std::vector<VoteRecord>& votes) {
  std::string out = "[";
  for (const VoteRecord& vote : votes) {
    if (out.size() > 1) out += ',';
    ObjectText object;
    object.text("operator", vote.operator_name);
    object.number("uid", vote.uid);
    object.boolean("approve", vote.approve);
    if (vote.reason) object.text("reason", *vote.reason);
    object.text("at", vote.at);
    object.write_to(out);
  }
  out += ']';
  return out;
}

std::string records_text(const std::vector<RequestRecord>& records) {
  std::string out = "[";
  for (const RequestRecord& record : records) {
    if (out.size() > 1) out += ',';
    append_request_record(out, record);
  }
  out += ']';
  return out;
}

std::string record_text(const RequestRecord& record) {
  std::string out;
  append_request_record(out, record);
  return out;
}

std::string line_of(ObjectText& object) {
  std::string out;
  object.write_to(out);
  out += '\n';
  return out;
}

// --- Reading -------------------------------------------------------------

// One member's value, read whole; its own nesting is within the reader's
// limit because only the outer levels of a line are taken apart by hand.
Result<Value, std::string> read_value(std::string_view name, std::string_view text) {
  auto value = json::parse_value(text);
  if (!value.ok()) {
    return fail("the member \"" + std::string(name) +
                "\" does not read as JSON: " + value.error().to_string());
  }
  return std::move(value).value();
}

Result<std::string, std::string> read_key(std::string_view key_text) {
  auto key = json::parse_value(key_text);
  if (!key.ok() || key.value().kind() != Kind::String)
    return fail(std::string("a member name is not a JSON string"));
  return std::string(key.value().as_string());
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
};

struct RFieldName {
  std::string_view name;
  RField field;
  bool required;
};

constexpr std::array<RFieldName, 20> kRecordFields = {{
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
    case RField::OperationDigest:
    case RField::DecidedAt:
    case RField::DetailOfVerdict: {
      std::optional<std::string>& slot = field == RField::OperationDigest ? r.operation_digest
                                         : field == RField::DecidedAt     ? r.decided_at
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

Result<RequestRecord, std::string> read_record(std::string_view text) {
  auto members = split_object(text);
  if (!members.ok()) return fail("a request record does not read: " + members.error());
  RequestRecord record;
  std::array<bool, kRecordFields.size()> seen{};
  for (const RawMember& raw : members.value()) {
    std::string name;
    KOA_TAKE(name, read_key(raw.key));
    const auto known = std::find_if(kRecordFields.begin(), kRecordFields.end(),
                                    [&](const RFieldName& f) { return f.name == name; });
    if (known == kRecordFields.end()) continue;
    seen[static_cast<std::size_t>(known - kRecordFields.begin())] = true;
    Value value;
    KOA_TAKE(value, read_value(name, raw.value));
    if (auto stored = store_field(record, known->field, name, value); !stored.ok())
      return fail(std::move(stored).error());
  }
  for (std::size_t i = 0; i < kRecordFields.size(); ++i) {
    if (kRecordFields[i].required && !seen[i])
      return fail("a request record has no \"" + std::string(kRecordFields[i].name) + "\"");
  }
  return record;
}

Result<std::vector<RequestRecord>, std::string> read_records(std::string_view text) {
  auto elements = split_array(text);
  if (!elements.ok()) return fail("a list of requests does not read: " + elements.error());
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

Result<void, std::string> read_daemon_member(DaemonMembers& line, std::string_view name,
                                             std::string_view text) {
  OperatorAnswer& a = line.answer;
  if (name == "requests" || name == "records") {
    auto& slot = name == "requests" ? a.requests : a.records;
    KOA_TAKE(slot, read_records(text));
    return {};
  }
  if (name == "request") {
    KOA_TAKE(a.request, read_record(text));
    return {};
  }
  Value value;
  KOA_TAKE(value, read_value(name, text));
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

constexpr std::array<OpShape, 7> kOps = {{
    {OperatorOp::List, "list", false, false, false},
    {OperatorOp::Show, "show", true, false, false},
    {OperatorOp::Vote, "vote", true, true, false},
    {OperatorOp::History, "history", false, false, true},
    {OperatorOp::Status, "status", false, false, false},
    {OperatorOp::Cancel, "cancel", true, false, false},
    {OperatorOp::Watch, "watch", false, false, false},
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
    const bool whole = value.kind() == Kind::Number &&
                       value.as_number().kind() != json::Number::Kind::Double &&
                       (value.as_number().kind() == json::Number::Kind::Negative64 ||
                        value.as_number().as_unsigned64() <= INT64_MAX);
    if (!whole) return fail(wrong_type(name, "a whole number of Unix seconds"));
    const json::Number n = value.as_number();
    m.since = n.kind() == json::Number::Kind::Negative64
                  ? n.as_negative64()
                  : static_cast<std::int64_t>(n.as_unsigned64());
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
  if (!shape->since && m.since) return fail(op + " takes no \"since\"");
  OperatorRequest request;
  request.op = shape->op;
  request.id = std::move(m.id).value_or("");
  request.approve = m.approve.value_or(false);
  request.reason = std::move(m.reason);
  request.since = m.since;
  return request;
}

#undef KOA_TAKE

}  // namespace

std::string_view op_name(OperatorOp op) {
  return shape_of(op).name;
}

std::string encode_operator_request(const OperatorRequest& request) {
  const OpShape& shape = shape_of(request.op);
  ObjectText object;
  object.text("op", shape.name);
  if (shape.id) object.text("id", request.id);
  if (shape.vote) {
    object.boolean("approve", request.approve);
    if (request.reason) object.text("reason", *request.reason);
  }
  if (shape.since && request.since) object.signed_number("since", *request.since);
  return line_of(object);
}

Result<OperatorRequest, std::string> decode_operator_request(std::string_view line) {
  if (line.size() > kMaxOperatorLine)
    return fail("the line is longer than " + std::to_string(kMaxOperatorLine) + " bytes");
  if (!utf8::is_valid(line)) return fail(std::string("the line is not valid UTF-8"));
  auto members = split_object(line);
  if (!members.ok()) return fail(std::move(members).error());
  RequestMembers read;
  std::vector<std::string> seen;
  for (const RawMember& raw : members.value()) {
    auto name = read_key(raw.key);
    if (!name.ok()) return fail(std::move(name).error());
    if (std::find(seen.begin(), seen.end(), name.value()) != seen.end())
      return fail("the member \"" + name.value() + "\" appears twice");
    seen.push_back(name.value());
    auto value = read_value(name.value(), raw.value);
    if (!value.ok()) return fail(std::move(value).error());
    if (auto stored = read_request_member(read, name.value(), value.value()); !stored.ok())
      return fail(std::move(stored).error());
  }
  return check_request(std::move(read));
}

void append_request_record(std::string& out, const RequestRecord& r) {
  ObjectText object;
  object.text("id", r.id);
  object.text("state", r.state);
  object.text("title", r.title);
  object.text("detail", r.detail);
  object.text("action", r.action);
  object.text("requester", r.requester);
  object.text("sourceHost", r.source_host);
  object.text("targetHost", r.target_host);
  if (r.operation_digest) object.text("operationDigest", *r.operation_digest);
  if (r.context) object.raw("context", *r.context);
  object.number("timeoutSecs", r.timeout_secs);
  object.text("createdAt", r.created_at);
  if (r.decided_at) object.text("decidedAt", *r.decided_at);
  object.number("verifiedUid", r.verified_uid);
  object.text("verifiedUser", r.verified_user);
  object.boolean("viaSudo", r.via_sudo);
  object.raw("peer", peer_text(r.peer));
  object.raw("votes", votes_text(r.votes));
  object.number("needed", r.needed);
  if (r.detail_of_verdict) object.text("detailOfVerdict", *r.detail_of_verdict);
  object.write_to(out);
}

OperatorAnswer refused_answer(int status, std::string error) {
  OperatorAnswer answer;
  answer.ok = false;
  answer.status = status;
  answer.error = std::move(error);
  return answer;
}

std::string encode_answer(const OperatorAnswer& a) {
  ObjectText object;
  object.boolean("ok", a.ok);
  if (!a.ok) {
    object.number("status", static_cast<std::uint64_t>(a.status));
    object.text("error", a.error);
  }
  if (a.reply) object.boolean("reply", true);
  if (a.requests) object.raw("requests", records_text(*a.requests));
  if (a.records) object.raw("records", records_text(*a.records));
  if (a.request) object.raw("request", record_text(*a.request));
  if (a.state) object.text("state", *a.state);
  if (a.version) object.text("version", *a.version);
  const std::array<std::pair<std::string_view, const std::optional<std::uint64_t>*>, 5> counts = {
      {{"votes", &a.votes},
       {"needed", &a.needed},
       {"uptimeSecs", &a.uptime_secs},
       {"pending", &a.pending},
       {"recordBytes", &a.record_bytes}}};
  for (const auto& [name, slot] : counts) {
    if (*slot) object.number(name, **slot);
  }
  return line_of(object);
}

std::string encode_event(const OperatorEvent& event) {
  ObjectText object;
  if (event.kind == OperatorEvent::Kind::Pending) {
    object.text("event", "pending");
    if (event.request) object.raw("request", record_text(*event.request));
  } else {
    object.text("event", "closed");
    object.text("id", event.id);
    object.text("state", event.state);
  }
  return line_of(object);
}

std::string encode_pending_event(const RequestRecord& record) {
  ObjectText object;
  object.text("event", "pending");
  object.raw("request", record_text(record));
  return line_of(object);
}

Result<DaemonLine, std::string> decode_daemon_line(std::string_view line) {
  if (!utf8::is_valid(line)) return fail(std::string("the daemon's line is not valid UTF-8"));
  auto members = split_object(line);
  if (!members.ok()) return fail("the daemon's line does not read: " + members.error());
  DaemonMembers read;
  for (const RawMember& raw : members.value()) {
    auto name = read_key(raw.key);
    if (!name.ok()) return fail(std::move(name).error());
    if (auto stored = read_daemon_member(read, name.value(), raw.value); !stored.ok())
      return fail(std::move(stored).error());
  }
  return sort_daemon_line(std::move(read));
}

}  // namespace kelvane::service
