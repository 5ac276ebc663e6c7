#include "serve.h"

#include <chrono>
#include <ctime>
#include <optional>
#include <string>

#include "approval/connection.h"
#include "demo_service/decision_log.h"
#include "demo_service/request_view.h"
#include "prompt.h"
#include "request_line.h"
#include "service/answer.h"
#include "service/peer.h"
#include "service/request.h"
#include "stop.h"
#include "support/utc_time.h"
#include "terminal.h"

namespace kelvane::demo {
namespace {

using service::decision_line;
using service::describe_request;
using service::describe_uid;
using service::How;
using service::identify_peer;
using service::kTokenLifetime;
using service::log_line;
using service::LogEntry;
using service::parse_request;
using service::Peer;
using service::random_token;
using service::Request;

struct Outcome {
  std::optional<std::string> verdict;  // nullopt: nothing is sent
  std::string detail;
  How how;
  std::string screen;  // what the operator is told, after the request
};

Outcome refused(std::string why) {
  return {"invalid_request", why, How::Invalid, "  -> refused unread: " + why + "\n"};
}

Outcome from_mode(Mode mode) {
  if (mode == Mode::Approve)
    return {"approved", "approved automatically", How::Auto, "  -> approved automatically"};
  return {"denied", "denied automatically", How::Auto, "  -> denied automatically\n"};
}

Outcome from_answer(Answer answer, const Request& request) {
  switch (answer) {
    case Answer::Approve:
      return {"approved", "approved by the operator", How::Operator, "  -> approved"};
    case Answer::Deny:
      return {"denied", "denied by the operator", How::Operator, "  -> denied\n"};
    case Answer::NoOperator:
      return {"denied", "no operator answered: the approval service's input has ended",
              How::NoOperator, "\n  -> denied: standard input has ended, no operator can answer\n"};
    case Answer::ClientLeft:
      return {std::nullopt, "the client left before the answer", How::ClientLeft,
              "\n  -> withdrawn: the client left; nothing was approved\n"};
    case Answer::TimedOut: {
      const std::string limit = std::to_string(request.timeout_secs.value_or(0));
      return {"denied",
              "no operator answered within the request's time limit of " + limit + " seconds",
              How::Timeout,
              "\n  -> denied: no answer within the request's time limit (" + limit + " s)\n"};
    }
    case Answer::Stopped:
      break;
  }
  return {"denied", "the approval service was stopped", How::Stopped,
          "\n  -> denied: the service is stopping\n"};
}

service::Deadline deadline_of(const Request& request) {
  return request.timeout_secs ? service::Deadline::after_seconds(*request.timeout_secs)
                              : service::Deadline::never();
}

Outcome decide(const Request& request, Mode mode, int connection, Session& session) {
  if (mode != Mode::Ask) return from_mode(mode);
  const std::string question = "Approve request " + std::to_string(session.number) + "? [y/N] ";
  const Answer answer = ask_operator(
      question, connection, deadline_of(request),
      session.last_question_unanswered ? kKeysIgnoredAfterChange : std::chrono::milliseconds(0));
  session.last_question_unanswered = answer != Answer::Approve && answer != Answer::Deny;
  return from_answer(answer, request);
}

// Sends the answer; an approval carries a fresh token. When the client is
// gone by then, the outcome becomes a withdrawal.
void answer(int connection, Outcome& outcome) {
  if (!outcome.verdict) return;
  std::string reply;
  if (outcome.verdict == "approved") {
    const Result<std::string, io::Error> token = random_token();
    if (!token.ok()) {
      outcome = {"denied", "no random token could be made", outcome.how,
                 "  -> denied: no random token could be made\n"};
      reply = decision_line(*outcome.verdict, outcome.detail);
    } else {
      const std::string expires_at = utc_text(std::time(nullptr) + kTokenLifetime);
      reply = decision_line(*outcome.verdict, outcome.detail, {}, token.value(), expires_at);
      outcome.screen += "; the token expires at " + expires_at + "\n";
    }
  } else {
    reply = decision_line(*outcome.verdict, outcome.detail);
  }
  if (!approval::write_all(connection, reply).ok()) {
    const bool was_approval = outcome.verdict == "approved";
    outcome.verdict.reset();
    outcome.detail = was_approval
                         ? "the client left before the answer; the approval was not delivered"
                         : "the client left before the answer";
    outcome.how = How::ClientLeft;
    outcome.screen = "  -> withdrawn: the client left before the answer; nothing was approved\n";
  }
}

void record(const Peer& peer, const Request* request, const Outcome& outcome,
            std::optional<service::InvokingUser> invoking = std::nullopt) {
  LogEntry entry;
  entry.when = std::time(nullptr);
  entry.peer = &peer;
  if (request != nullptr) {
    entry.title = request->title;
    entry.target_host = request->target_host;
    entry.invoking = invoking;
    if (request->operation_digest || entry.invoking) {
      entry.requester = request->requester;
      entry.operation_digest = request->operation_digest;
    }
  }
  entry.verdict = outcome.verdict;
  entry.how = outcome.how;
  entry.detail = outcome.detail;
  complain(log_line(entry));
}

// A request that is not shown: the operator is told why, the client too.
void refuse_unread(int connection, const Peer& peer, std::uint64_t number, Outcome outcome) {
  say("\nrequest " + std::to_string(number) + " from " + describe_uid(peer) + ":\n" +
      outcome.screen);
  answer(connection, outcome);
  record(peer, nullptr, outcome);
}

}  // namespace

Served serve_connection(int connection, Mode mode, Session& session) {
  const Peer peer = identify_peer(connection);
  const RequestLine line = read_request_line(connection);
  if (line.status == LineStatus::Nothing) return Served::Nothing;
  const std::uint64_t number = ++session.number;
  if (line.status == LineStatus::Stopped) {
    refuse_unread(connection, peer, number, from_answer(Answer::Stopped, Request{}));
    return Served::Request;
  }
  if (line.status != LineStatus::Complete) {
    refuse_unread(connection, peer, number, refused(line_problem(line.status)));
    return Served::Request;
  }
  auto request = parse_request(line.line);
  if (!request.ok()) {
    refuse_unread(connection, peer, number, refused(request.error()));
    return Served::Request;
  }
  // Read while the requester waits: /proc tells whether it is sudo.
  const auto invoking = service::believed_invoking_user(peer, request.value().context);
  say(describe_request(request.value(), peer, number));
  Outcome outcome = decide(request.value(), mode, connection, session);
  answer(connection, outcome);
  say(outcome.screen);
  record(peer, &request.value(), outcome, invoking);
  return Served::Request;
}

}  // namespace kelvane::demo
