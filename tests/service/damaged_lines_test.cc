// The daemon's lines as the operators' command reads them, each damaged in
// one place: a member missing, of another type, or not JSON at all. Each is
// refused with a reason rather than read into a record that shows an
// operator something the daemon never said (a peer of uid 0, a vote that
// was not cast).
#include <gtest/gtest.h>

#include <string>

#include "service/operator_protocol.h"

namespace kelvane::service {
namespace {

RequestRecord decided() {
  RequestRecord r;
  r.id = "17";
  r.state = "approved";
  r.title = "Reboot";
  r.detail = "command: /usr/sbin/reboot";
  r.action = "sudo";
  r.requester = "alice";
  r.source_host = "web-03";
  r.target_host = "web-03";
  r.timeout_secs = 300;
  r.created_at = "2026-12-07T20:00:00Z";
  r.decided_at = "2026-12-07T20:01:00Z";
  r.verified_uid = 1000;
  r.verified_user = "alice";
  r.peer = {1000, 1000, 4242, "sudo", "/usr/bin/sudo"};
  VoteRecord vote;
  vote.operator_name = "bob";
  vote.uid = 1001;
  vote.approve = true;
  vote.reason = "fine";
  vote.at = "2026-12-07T20:01:00Z";
  r.votes = {vote};
  r.detail_of_verdict = "approved by bob";
  return r;
}

// The line with the first `from` replaced by `to`.
std::string edited(std::string line, const std::string& from, const std::string& to) {
  const std::size_t at = line.find(from);
  EXPECT_NE(at, std::string::npos) << from << " in " << line;
  if (at != std::string::npos) line.replace(at, from.size(), to);
  return line;
}

TEST(DamagedDaemonLines, EachIsRefusedWithItsReason) {
  OperatorAnswer shown;
  shown.request = decided();
  const std::string line = encode_answer(shown);
  ASSERT_TRUE(decode_daemon_line(line).ok()) << line;
  OperatorAnswer listed;
  listed.requests = std::vector<RequestRecord>{decided()};
  const std::string list = encode_answer(listed);
  ASSERT_TRUE(decode_daemon_line(list).ok()) << list;

  const struct {
    const char* what;
    std::string line;
    const char* reason;
  } cases[] = {
      {"not UTF-8", edited(line, "Reboot", "Re\xc3"), "not valid UTF-8"},
      {"cut short", line.substr(0, line.size() / 2), "does not read"},
      {"a peer that is not an object",
       edited(
           line,
           R"("peer":{"executable":"/usr/bin/sudo","gid":1000,"name":"sudo","pid":4242,"uid":1000})",
           R"("peer":[1])"),
       "peer"},
      {"a peer without its uid", edited(line, R"("pid":4242,"uid":1000})", R"("pid":4242})"),
       "the peer has no \"uid\""},
      {"a peer whose pid is text", edited(line, R"("pid":4242)", R"("pid":"4242")"), "pid"},
      {"a peer without its executable", edited(line, R"("executable":"/usr/bin/sudo",)", ""),
       "the peer has no \"executable\""},
      {"a vote that is not an object", edited(line, R"("votes":[{)", R"("votes":[7,{)"),
       "a vote is not an object"},
      {"a vote without its time", edited(line, R"("at":"2026-12-07T20:01:00Z",)", ""),
       "a vote lacks a member"},
      {"a vote whose approval is text", edited(line, R"("approve":true)", R"("approve":"yes")"),
       "approve"},
      {"a vote whose uid is negative", edited(line, R"("uid":1001)", R"("uid":-1)"), "uid"},
      {"a list that is not a list", "{\"ok\":true,\"requests\":7}\n", "requests"},
      {"a list whose record is cut short",
       edited(list, R"("title":"Reboot")", R"("title":"Reboot)"), "does not read"},
      {"a pending event without its request", "{\"event\":\"pending\"}\n",
       "a pending event has no request"},
      {"a closed event without its state", "{\"event\":\"closed\",\"id\":\"1\"}\n",
       "a closed event lacks a member"},
      {"an event of another kind", "{\"event\":\"opened\",\"id\":\"1\"}\n",
       "an event of an unknown kind"},
      {"neither answer nor event", "{\"id\":\"1\"}\n", "neither an answer nor an event"},
      {"a refusal without its status", "{\"error\":\"no\",\"ok\":false}\n",
       "no status or no error"},
      {"counts that are not an object", "{\"ok\":true,\"pendingByUser\":7}\n", "pendingByUser"},
      {"a count below zero", "{\"ok\":true,\"pendingByUser\":{\"alice\":-1}}\n", "pendingByUser"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto decoded = decode_daemon_line(c.line);
    ASSERT_FALSE(decoded.ok()) << c.line;
    EXPECT_NE(decoded.error().find(c.reason), std::string::npos) << decoded.error();
  }
}

// An operator's line as the daemon reads it, each damaged in one place.
TEST(DamagedOperatorLines, EachIsRefusedWithItsReason) {
  const struct {
    const char* what;
    std::string line;
    const char* reason;
  } cases[] = {
      {"a limit of zero", R"({"limit":0,"op":"history"})", "a whole number from 1"},
      {"a limit below zero", R"({"limit":-3,"op":"history"})", "a whole number from 1"},
      {"a limit as text", R"({"limit":"5","op":"history"})", "a whole number from 1"},
      {"an id that is not one", R"({"id":"17x","op":"show"})", "is not a request id"},
      {"an approval as text", R"({"approve":"yes","id":"17","op":"vote"})", "approve"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto decoded = decode_operator_request(c.line + "\n");
    ASSERT_FALSE(decoded.ok()) << c.line;
    EXPECT_NE(decoded.error().find(c.reason), std::string::npos) << decoded.error();
  }
}

}  // namespace
}  // namespace kelvane::service
