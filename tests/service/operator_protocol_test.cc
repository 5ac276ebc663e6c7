#include "service/operator_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "json/json.h"

namespace kelvane::service {
namespace {

RequestRecord sample_record(std::string id) {
  RequestRecord r;
  r.id = std::move(id);
  r.state = "approved";
  r.title = "Reboot \"web-03\"\n\x1b[2J";
  r.detail = "because";
  r.action = "reboot";
  r.requester = "alice";
  r.source_host = "laptop";
  r.target_host = "web-03";
  r.operation_digest = "sha256:00ff";
  r.context = R"({"argv":["reboot","-f"],"pid":12})";
  r.timeout_secs = 300;
  r.created_at = "2026-12-07T08:45:00Z";
  r.decided_at = "2026-12-07T08:46:00Z";
  r.verified_uid = 1000;
  r.verified_user = "alice";
  r.via_sudo = true;
  r.peer = {0, 0, 4242, "sudo", "/usr/bin/sudo"};
  r.votes = {{"bob", 1001, true, "looks fine", "2026-12-07T08:45:30Z", std::nullopt},
             {"carol", 1002, true, std::nullopt, "2026-12-07T08:46:00Z", std::nullopt}};
  r.needed = 2;
  r.detail_of_verdict = "approved by bob, carol";
  return r;
}

RequestRecord pending_record(std::string id) {
  RequestRecord r = sample_record(std::move(id));
  r.state = "pending";
  r.operation_digest.reset();
  r.context.reset();
  r.decided_at.reset();
  r.detail_of_verdict.reset();
  r.votes.clear();
  return r;
}

std::string without_line_feed(std::string line) {
  EXPECT_EQ(line.back(), '\n');
  line.pop_back();
  return line;
}

// The line is exactly what the project's writer makes of it.
void expect_canonical(const std::string& line) {
  auto value = json::parse_value(line);
  ASSERT_TRUE(value.ok()) << line;
  EXPECT_EQ(json::to_json(value.value()), line);
}

TEST(OperatorRequests, EncodeToTheirLinesAndDecodeBack) {
  const std::pair<OperatorRequest, std::string> cases[] = {
      {{OperatorOp::List, "", false, {}, {}, {}}, R"({"op":"list"})"},
      {{OperatorOp::Show, "17", false, {}, {}, {}}, R"({"id":"17","op":"show"})"},
      {{OperatorOp::Vote, "17", true, "ok \"then\"", {}, {}},
       R"({"approve":true,"id":"17","op":"vote","reason":"ok \"then\""})"},
      {{OperatorOp::Vote, "18", false, {}, {}, {}}, R"({"approve":false,"id":"18","op":"vote"})"},
      {{OperatorOp::History, "", false, {}, 1765000000, {}},
       R"({"op":"history","since":1765000000})"},
      {{OperatorOp::History, "", false, {}, -5, {}}, R"({"op":"history","since":-5})"},
      {{OperatorOp::History, "", false, {}, {}, {}}, R"({"op":"history"})"},
      {{OperatorOp::History, "", false, {}, 1765000000, 20},
       R"({"limit":20,"op":"history","since":1765000000})"},
      {{OperatorOp::Status, "", false, {}, {}, {}}, R"({"op":"status"})"},
      {{OperatorOp::Cancel, "9", false, {}, {}, {}}, R"({"id":"9","op":"cancel"})"},
      {{OperatorOp::Watch, "", false, {}, {}, {}}, R"({"op":"watch"})"},
  };
  for (const auto& [request, text] : cases) {
    const std::string line = encode_operator_request(request);
    EXPECT_EQ(line, text + "\n");
    auto back = decode_operator_request(text);
    ASSERT_TRUE(back.ok()) << text << ": " << back.error();
    EXPECT_EQ(back.value().op, request.op);
    EXPECT_EQ(back.value().id, request.id);
    EXPECT_EQ(back.value().approve, request.approve);
    EXPECT_EQ(back.value().reason, request.reason);
    EXPECT_EQ(back.value().since, request.since);
    EXPECT_EQ(back.value().limit, request.limit);
  }
}

// A signed vote's signature and time go out and come back as they were.
TEST(OperatorRequests, ASignedVoteCarriesItsSignatureAndTime) {
  OperatorRequest request{OperatorOp::Vote, "17", true, "ok", {}, {}};
  request.signature = "-----BEGIN SSH SIGNATURE-----\nU1NIU0lH\n-----END SSH SIGNATURE-----\n";
  request.signed_at = 1'765'000'000;
  const std::string line = encode_operator_request(request);
  EXPECT_NE(line.find(R"("signedAt":1765000000)"), std::string::npos) << line;
  auto back = decode_operator_request(line.substr(0, line.size() - 1));
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back.value().signature, request.signature);
  EXPECT_EQ(back.value().signed_at, request.signed_at);
}

TEST(OperatorRequests, AcceptMembersInAnyOrderWithSpaceAndANullReason) {
  auto r =
      decode_operator_request(R"( { "op" : "vote", "reason":null, "id":"3", "approve":false } )");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().op, OperatorOp::Vote);
  EXPECT_FALSE(r.value().reason);
}

TEST(OperatorRequests, RefuseBadLinesWithTheReason) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xff", "not valid UTF-8"},
      {"[]", "not a JSON object"},
      {"{\"op\":\"list\"", "expected"},
      {R"({"op":"list"} x)", "unexpected text"},
      {R"({})", "no \"op\""},
      {R"({"op":"reboot"})", "there is no op \"reboot\""},
      {R"({"op":1})", "\"op\" is not a string"},
      {R"({"op":"list","op":"list"})", "appears twice"},
      {R"({"op":"list","x":1})", "unknown member \"x\""},
      {R"({"op":"list","id":"1"})", "takes no \"id\""},
      {R"({"op":"list","limit":3})", "takes no \"limit\""},
      {R"({"op":"history","limit":0})", "\"limit\""},
      {R"({"op":"history","limit":-2})", "\"limit\""},
      {R"({"op":"history","limit":1.5})", "\"limit\""},
      {R"({"op":"show"})", "needs an \"id\""},
      {R"({"op":"show","id":""})", "not a request id"},
      {R"({"op":"show","id":"1a"})", "not a request id"},
      {R"({"op":"show","id":"123456789012345678901"})", "not a request id"},
      {R"({"op":"show","id":17})", "not a string"},
      {R"({"op":"vote","id":"1"})", "needs \"approve\""},
      {R"({"op":"vote","id":"1","approve":"yes"})", "not true or false"},
      {R"({"op":"vote","id":"1","approve":true,"reason":5})", "not a string"},
      {R"({"op":"show","id":"1","approve":true})", "takes no \"approve\""},
      {R"({"op":"list","since":1})", "takes no \"since\""},
      {R"({"op":"vote","id":"1","approve":true,"signature":"x"})", "needs both"},
      {R"({"op":"vote","id":"1","approve":true,"signedAt":5})", "needs both"},
      {R"({"op":"show","id":"1","signature":"x","signedAt":5})", "takes no \"signature\""},
      {R"({"op":"vote","id":"1","approve":true,"signature":1,"signedAt":5})", "not a string"},
      {R"({"op":"vote","id":"1","approve":true,"signature":"x","signedAt":1.5})", "Unix seconds"},
      {R"({"op":"history","since":1.5})", "Unix seconds"},
      {R"({"op":"history","since":18446744073709551615})", "Unix seconds"},
      {R"({"op":"history","since":"yesterday"})", "Unix seconds"},
      {R"({"op":"list","x":[1,})", "expected"},
      {R"({"op":"list","x":[}})", "not valid JSON: expected value at line 1 column 19"},
      {R"({"op":"list"} x)", "unexpected text after the request object at line 1 column 15"},
      {std::string(kMaxOperatorLine + 1, ' '), "longer than 65536 bytes"},
  };
  for (const auto& [line, reason] : cases) {
    auto r = decode_operator_request(line);
    ASSERT_FALSE(r.ok()) << line;
    EXPECT_NE(r.error().find(reason), std::string::npos) << line << " -> " << r.error();
  }
}

// The daemon writes lists and pending events a record at a time from the
// records' kept text: the bytes are those of the one encoder, whatever the
// number of records and whether the answer is a reply among events.
TEST(OperatorAnswers, ListsWrittenARecordAtATimeAreTheEncodersBytes) {
  const std::vector<std::vector<RequestRecord>> lists = {
      {}, {pending_record("1")}, {sample_record("1"), pending_record("2"), sample_record("30")}};
  for (const auto member :
       {RecordListAnswer::Member::Requests, RecordListAnswer::Member::Records}) {
    for (const bool reply : {false, true}) {
      for (const auto& records : lists) {
        OperatorAnswer expected;
        expected.reply = reply;
        (member == RecordListAnswer::Member::Requests ? expected.requests : expected.records) =
            records;
        RecordListAnswer answer(member, reply);
        std::string by_record, by_text;
        answer.open(by_record);
        for (const RequestRecord& record : records) answer.add(by_record, record);
        answer.close(by_record);
        RecordListAnswer again(member, reply);
        again.open(by_text);
        for (const RequestRecord& record : records) {
          std::string json;
          append_request_record(json, record);
          again.add_text(by_text, json);
        }
        again.close(by_text);
        EXPECT_EQ(by_record, encode_answer(expected)) << records.size() << " reply " << reply;
        EXPECT_EQ(by_text, by_record);
      }
    }
  }
  for (const RequestRecord& record : {sample_record("7"), pending_record("8")}) {
    std::string json;
    append_request_record(json, record);
    const OperatorEvent event{OperatorEvent::Kind::Pending, record, "", ""};
    EXPECT_EQ(encode_pending_event_of(json), encode_event(event));
    EXPECT_EQ(encode_pending_event(record), encode_event(event));
  }
}

TEST(OperatorAnswers, CarryRecordsThroughTheirCanonicalLines) {
  OperatorAnswer list;
  list.requests = std::vector<RequestRecord>{};
  list.requests->push_back(sample_record("1"));
  list.requests->push_back(pending_record("2"));
  OperatorAnswer history;
  history.records = std::vector<RequestRecord>{};
  OperatorAnswer show;
  show.request = sample_record("7");
  OperatorAnswer vote;
  vote.state = "pending";
  vote.votes = 1;
  vote.needed = 2;
  vote.reply = true;
  OperatorAnswer status;
  status.version = "0.1.0";
  status.uptime_secs = 12;
  status.pending = 3;
  status.record_bytes = 4096;
  for (const OperatorAnswer* a : {&list, &history, &show, &vote, &status}) {
    const std::string line = without_line_feed(encode_answer(*a));
    expect_canonical(line);
    auto back = decode_daemon_line(line);
    ASSERT_TRUE(back.ok()) << back.error();
    const auto* answer = std::get_if<OperatorAnswer>(&back.value());
    ASSERT_NE(answer, nullptr);
    EXPECT_TRUE(answer->ok);
    EXPECT_EQ(answer->reply, a->reply);
    EXPECT_EQ(answer->requests, a->requests);
    EXPECT_EQ(answer->records, a->records);
    EXPECT_EQ(answer->request, a->request);
    EXPECT_EQ(answer->state, a->state);
    EXPECT_EQ(answer->votes, a->votes);
    EXPECT_EQ(answer->needed, a->needed);
    EXPECT_EQ(answer->version, a->version);
    EXPECT_EQ(answer->uptime_secs, a->uptime_secs);
    EXPECT_EQ(answer->pending, a->pending);
    EXPECT_EQ(answer->record_bytes, a->record_bytes);
  }
}

TEST(OperatorAnswers, TheFleetsHostIsAMemberOfItsOwnAndAbsentOnOneService) {
  RequestRecord single = sample_record("7");
  RequestRecord fleet = single;
  fleet.host = "host-a";
  const std::string single_text = [&] {
    std::string out;
    append_request_record(out, single);
    return out;
  }();
  std::string fleet_text;
  append_request_record(fleet_text, fleet);
  // Without a host the bytes are the single service's; with one, only the
  // member "host" is added, in its byte-order place.
  EXPECT_EQ(single_text.find("\"host\""), std::string::npos) << single_text;
  const std::size_t at = fleet_text.find(R"("host":"host-a",)");
  ASSERT_NE(at, std::string::npos) << fleet_text;
  EXPECT_EQ(fleet_text.substr(0, at) + fleet_text.substr(at + 16), single_text);
  for (const RequestRecord& record : {single, fleet}) {
    OperatorAnswer show;
    show.request = record;
    const std::string line = without_line_feed(encode_answer(show));
    expect_canonical(line);
    auto back = decode_daemon_line(line);
    ASSERT_TRUE(back.ok()) << back.error();
    const auto* answer = std::get_if<OperatorAnswer>(&back.value());
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->request, record);
  }
  auto not_text =
      decode_daemon_line(R"({"ok":true,"request":)" +
                         fleet_text.replace(fleet_text.find(R"("host-a")"), 8, "17") + "}");
  EXPECT_FALSE(not_text.ok());
}

// A signed vote's members, and what show adds for signing, come back as
// they went; an unsigned vote's bytes are as before.
TEST(OperatorAnswers, ShowCarriesSignedVotesAndTheServicesHost) {
  RequestRecord record = sample_record("7");
  record.votes = {{"alice", 1000, true, "ok", "2026-12-07T08:01:00Z", std::nullopt}};
  std::string unsigned_text;
  append_request_record(unsigned_text, record);
  EXPECT_EQ(unsigned_text.find("signature"), std::string::npos) << unsigned_text;
  record.votes[0].signature = "-----BEGIN SSH SIGNATURE-----\nU1NIU0lH\n";
  record.votes[0].key_fingerprint = "SHA256:abc";
  record.votes[0].signed_at = 1'765'094'460;
  OperatorAnswer show;
  show.request = record;
  show.service_host = "ops1";
  show.signed_votes = true;
  const std::string line = without_line_feed(encode_answer(show));
  expect_canonical(line);
  EXPECT_NE(line.find(R"("keyFingerprint":"SHA256:abc")"), std::string::npos) << line;
  auto back = decode_daemon_line(line);
  ASSERT_TRUE(back.ok()) << back.error();
  const auto* answer = std::get_if<OperatorAnswer>(&back.value());
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->request, record);
  EXPECT_EQ(answer->service_host, "ops1");
  EXPECT_EQ(answer->signed_votes, true);
}

TEST(OperatorAnswers, RefusalsAndEventsHaveFixedLines) {
  EXPECT_EQ(encode_answer(refused_answer(1, "request 17 is already denied")),
            "{\"error\":\"request 17 is already denied\",\"ok\":false,\"status\":1}\n");
  OperatorAnswer cancelled;
  cancelled.state = "withdrawn";
  EXPECT_EQ(encode_answer(cancelled), "{\"ok\":true,\"state\":\"withdrawn\"}\n");
  OperatorEvent closed{OperatorEvent::Kind::Closed, std::nullopt, "17", "withdrawn"};
  EXPECT_EQ(encode_event(closed), "{\"event\":\"closed\",\"id\":\"17\",\"state\":\"withdrawn\"}\n");
  const RequestRecord r = pending_record("5");
  OperatorEvent pending{OperatorEvent::Kind::Pending, r, "", ""};
  EXPECT_EQ(encode_event(pending), encode_pending_event(r));

  auto refusal = decode_daemon_line(R"({"error":"no","ok":false,"status":2})");
  ASSERT_TRUE(refusal.ok());
  const auto& answer = std::get<OperatorAnswer>(refusal.value());
  EXPECT_FALSE(answer.ok);
  EXPECT_EQ(answer.status, 2);
  EXPECT_EQ(answer.error, "no");

  auto event = decode_daemon_line(without_line_feed(encode_pending_event(r)));
  ASSERT_TRUE(event.ok()) << event.error();
  const auto& e = std::get<OperatorEvent>(event.value());
  EXPECT_EQ(e.kind, OperatorEvent::Kind::Pending);
  EXPECT_EQ(e.request, r);
  auto closed_back = decode_daemon_line(without_line_feed(encode_event(closed)));
  ASSERT_TRUE(closed_back.ok());
  EXPECT_EQ(std::get<OperatorEvent>(closed_back.value()).id, "17");
  EXPECT_EQ(std::get<OperatorEvent>(closed_back.value()).state, "withdrawn");
}

// Any user can send a context as deep as the client lets it; inside a list
// answer it sits four levels deeper, past what the reader takes at once.
TEST(OperatorAnswers, ListsRequestsWhoseContextsNestAsDeepAsTheClientAllows) {
  RequestRecord deep = pending_record("3");
  deep.context = std::string(126, '[') + std::string(126, ']');
  OperatorAnswer list;
  list.requests = std::vector<RequestRecord>{};
  list.requests->push_back(deep);
  auto back = decode_daemon_line(without_line_feed(encode_answer(list)));
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(std::get<OperatorAnswer>(back.value()).requests->front().context, deep.context);
}

TEST(OperatorAnswers, SkipUnknownMembersAndRefuseBrokenLines) {
  auto newer = decode_daemon_line(R"({"ok":true,"shiny":{"new":[1]},"state":"withdrawn"})");
  ASSERT_TRUE(newer.ok()) << newer.error();
  EXPECT_EQ(std::get<OperatorAnswer>(newer.value()).state, "withdrawn");

  std::string record =
      without_line_feed(encode_event({OperatorEvent::Kind::Pending, pending_record("1"), "", ""}));
  const std::string no_title = record.replace(record.find("\"title\""), 7, "\"titel\"");
  const std::pair<std::string, std::string> cases[] = {
      {"\xc0\x80", "not valid UTF-8"},
      {"{}", "neither an answer nor an event"},
      {R"({"ok":false})", "no status or no error"},
      {R"({"ok":"yes"})", "not true or false"},
      {R"({"ok":true,"status":256,"error":""})", "out of range"},
      {R"({"event":"gone"})", "unknown kind"},
      {R"({"event":"pending"})", "has no request"},
      {R"({"event":"closed","id":"1"})", "lacks a member"},
      {R"({"ok":true,"requests":{}})", "does not read"},
      {R"({"ok":true,"requests":[1,]})", "does not read"},
      // Brackets match by kind however deep, where the whole is past the
      // reader's budget and is taken apart.
      {R"({"ok":true,"requests":[)" + std::string(200, '[') + "}]}",
       "does not read: expected value at line 1 column 224"},
      {R"({"ok":true,"request":{"id":1}})", "not a string"},
      {no_title, "has no \"title\""},
      {R"({"ok":true,"votes":-1})", "whole number"},
  };
  for (const auto& [line, reason] : cases) {
    auto r = decode_daemon_line(line);
    ASSERT_FALSE(r.ok()) << line;
    EXPECT_NE(r.error().find(reason), std::string::npos) << line << " -> " << r.error();
  }
}

}  // namespace
}  // namespace kelvane::service
