#include "approvals/run.h"

#include <ctime>

#include "approvals/exchange.h"
#include "approvals/listing.h"
#include "approvals/options.h"
#include "approvals/record_text.h"
#include "approvals/request_screen.h"
#include "approvals/watch_console.h"
#include "command/output.h"
#include "service/operator_protocol.h"

#ifndef KOA_VERSION
#define KOA_VERSION "unknown"
#endif

namespace kelvane::approvals {
namespace {

using service::OperatorOp;
using service::OperatorRequest;

constexpr std::string_view kPrefix = "kelvane-operator-approvals: ";

// Output that cannot be written is reported where it still can be; the
// status then says that the run did not do what was asked.
int print(const Streams& streams, std::string_view text, int status) {
  if (command::write_fully(streams.out, text).ok()) return status;
  (void)command::write_fully(streams.err, std::string(kPrefix) + "cannot write the output\n");
  return status == kDone ? kRefused : status;
}

// After a vote or a withdrawal the daemon has acted whatever happens to the
// confirmation: the status says what was done, not whether it was read.
int confirm(const Streams& streams, std::string_view text) {
  if (!command::write_fully(streams.out, text).ok()) {
    (void)command::write_fully(
        streams.err, std::string(kPrefix) + "done, but " + "the confirmation cannot be written\n");
  }
  return kDone;
}

int complain(const Streams& streams, std::string_view message, int status) {
  (void)command::write_fully(streams.err, std::string(kPrefix).append(message) + "\n");
  return status;
}

OperatorRequest request_for(const Invocation& invocation) {
  OperatorRequest request;
  request.id = invocation.id;
  switch (invocation.subcommand) {
    case Subcommand::List:
      request.op = OperatorOp::List;
      break;
    case Subcommand::Show:
      request.op = OperatorOp::Show;
      break;
    case Subcommand::Approve:
    case Subcommand::Deny:
      request.op = OperatorOp::Vote;
      request.approve = invocation.subcommand == Subcommand::Approve;
      request.reason = invocation.reason;
      break;
    case Subcommand::Cancel:
      request.op = OperatorOp::Cancel;
      break;
    case Subcommand::History:
      request.op = OperatorOp::History;
      request.since = invocation.since;
      break;
    default:
      request.op = OperatorOp::Status;
      break;
  }
  return request;
}

// The daemon said no: its status 2 means it could not read our line.
int refusal(const Streams& streams, const service::OperatorAnswer& answer) {
  const int status = answer.status == service::kOperatorBadLine ? kUsage : kRefused;
  return complain(streams, message_text(answer.error), status);
}

std::string vote_outcome(const Invocation& invocation, const service::OperatorAnswer& answer) {
  std::string text = "request " + invocation.id + ": ";
  const std::string state = state_word(answer.state.value_or("pending"));
  if (state != "pending") return text + state + "\n";
  text += "vote recorded, still pending";
  if (answer.votes && answer.needed) {
    text += " (" + std::to_string(*answer.votes) + " of " + std::to_string(*answer.needed) +
            " approvals)";
  }
  return text + "\n";
}

// The JSON array of the answer's requests as the daemon sent them, or as
// this command writes them should the line not split.
std::string json_array(const Answered& answered, std::string_view member,
                       const std::vector<service::RequestRecord>& records) {
  std::string text = member_text(answered.line, member);
  if (!text.empty()) return text + "\n";
  text = "[";
  for (const service::RequestRecord& r : records) {
    if (text.size() > 1) text += ',';
    service::append_request_record(text, r);
  }
  return text + "]\n";
}

int answered_output(const Invocation& invocation, const Answered& answered,
                    const Streams& streams) {
  const service::OperatorAnswer& a = answered.answer;
  static const std::vector<service::RequestRecord> kNone;
  switch (invocation.subcommand) {
    case Subcommand::List: {
      const auto& requests = a.requests ? *a.requests : kNone;
      if (invocation.json) return print(streams, json_array(answered, "requests", requests), kDone);
      return print(streams, list_lines(requests, std::time(nullptr)), kDone);
    }
    case Subcommand::History: {
      const auto& records = a.records ? *a.records : kNone;
      if (invocation.json) return print(streams, json_array(answered, "records", records), kDone);
      return print(streams, history_lines(records), kDone);
    }
    case Subcommand::Show:
      if (!a.request) return complain(streams, "the approval daemon sent no request", kUnreachable);
      return print(streams, describe_record(*a.request), kDone);
    case Subcommand::Approve:
    case Subcommand::Deny:
      return confirm(streams, vote_outcome(invocation, a));
    case Subcommand::Cancel:
      return confirm(streams, "request " + invocation.id + ": withdrawn\n");
    default:
      return print(streams, status_lines(a), kDone);
  }
}

int ask(const Invocation& invocation, const std::string& path, const Streams& streams) {
  Result<Answered, Unreachable> answered = ask_daemon(path, request_for(invocation));
  if (!answered.ok()) return complain(streams, answered.error().message, kUnreachable);
  if (!answered.value().answer.ok) return refusal(streams, answered.value().answer);
  return answered_output(invocation, answered.value(), streams);
}

}  // namespace

int run(std::span<const std::string_view> args, const approval::EnvLookup& env,
        const Streams& streams) {
  Result<Invocation, UsageError> parsed = parse_invocation(args);
  if (!parsed.ok()) {
    (void)command::write_fully(streams.err, std::string(kPrefix) + parsed.error().message + "\n" +
                                                std::string(kUsageText));
    return kUsage;
  }
  const Invocation& invocation = parsed.value();
  switch (invocation.subcommand) {
    case Subcommand::Help:
      return print(streams, kUsageText, kDone);
    case Subcommand::Version:
      return print(streams, "kelvane-operator-approvals " KOA_VERSION "\n", kDone);
    default:
      break;
  }
  const std::string path = operator_socket_path(invocation, env(kSocketVariable));
  if (invocation.subcommand == Subcommand::Watch) return watch(path, streams);
  return ask(invocation, path, streams);
}

}  // namespace kelvane::approvals
