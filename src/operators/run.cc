#include "operators/run.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "operators/exchange.h"
#include "operators/explain.h"
#include "operators/listing.h"
#include "operators/options.h"
#include "operators/record_text.h"
#include "operators/request_screen.h"
#include "operators/signed_ballot.h"
#include "operators/sudo_note.h"
#include "operators/token_commands.h"
#include "operators/watch_console.h"
#include "service/operator_protocol.h"
#include "service/peer.h"
#include "support/write_loop.h"

#ifndef KOA_VERSION
#define KOA_VERSION "unknown"
#endif

namespace kelvane::operators {
namespace {

using service::OperatorOp;
using service::OperatorRequest;

constexpr std::string_view kPrefix = "kelvane-operator-approvals: ";

// Output that cannot be written is reported where it still can be; the
// status then says that the run did not do what was asked.
int print(const Streams& streams, std::string_view text, int status) {
  if (io::write_fully(streams.out, text).ok()) return status;
  (void)io::write_fully(streams.err, std::string(kPrefix) + "cannot write the output\n");
  return status == kDone ? kRefused : status;
}

// After a vote or a withdrawal the daemon has acted whatever happens to the
// confirmation: the status says what was done, not whether it was read.
int confirm(const Streams& streams, std::string_view text) {
  if (!io::write_fully(streams.out, text).ok()) {
    (void)io::write_fully(
        streams.err, std::string(kPrefix) + "done, but " + "the confirmation cannot be written\n");
  }
  return kDone;
}

int complain(const Streams& streams, std::string_view message, int status) {
  (void)io::write_fully(streams.err, std::string(kPrefix).append(message) + "\n");
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
      request.limit = invocation.limit;
      break;
    case Subcommand::RotateKey:
      request.op = OperatorOp::RotateKey;
      break;
    case Subcommand::Revoke:
      request.op = OperatorOp::Revoke;
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

int answered_output(const Invocation& invocation, const service::OperatorAnswer& a,
                    const Streams& streams) {
  static const std::vector<service::RequestRecord> kNone;
  switch (invocation.subcommand) {
    case Subcommand::List: {
      const auto& requests = a.requests ? *a.requests : kNone;
      return print(streams, list_lines(requests, std::time(nullptr)), kDone);
    }
    case Subcommand::History: {
      const auto& records = a.records ? *a.records : kNone;
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
    case Subcommand::RotateKey:
      return confirm(streams, "signing key rotated: tokens are now signed with key " +
                                  a.kid.value_or("?") + "\n");
    case Subcommand::Revoke:
      return confirm(streams, "request " + invocation.id +
                                  (a.state == "expired" ? ": its token has expired already\n"
                                                        : ": token revoked\n"));
    default:
      return print(streams, status_lines(a), kDone);
  }
}

// list --json, history --json: the daemon's array passed on as it came.
int ask_for_json(const Invocation& invocation, const std::string& path, const Streams& streams) {
  Result<DaemonLink, Unreachable> link = DaemonLink::connect(path);
  if (!link.ok()) return complain(streams, link.error().message, kUnreachable);
  Result<void, Unreachable> sent =
      link.value().send(service::encode_operator_request(request_for(invocation)));
  if (!sent.ok()) return complain(streams, sent.error().message, kUnreachable);
  Result<std::string, Unreachable> line = link.value().next_line();
  if (!line.ok()) return complain(streams, line.error().message, kUnreachable);
  const std::string_view member =
      invocation.subcommand == Subcommand::List ? "requests" : "records";
  if (const auto array = request_array_text(line.value(), member)) {
    return print(streams, std::string(*array) + "\n", kDone);
  }
  Result<service::DaemonLine, std::string> decoded = service::decode_daemon_line(line.value());
  if (!decoded.ok()) {
    return complain(streams, "the approval daemon's answer does not read: " + decoded.error(),
                    kUnreachable);
  }
  const auto* answer = std::get_if<service::OperatorAnswer>(&decoded.value());
  if (answer == nullptr) {
    return complain(streams, "the approval daemon sent an event where an answer was due",
                    kUnreachable);
  }
  if (!answer->ok) return refusal(streams, *answer);
  return complain(streams, "the approval daemon's answer holds no list of requests", kUnreachable);
}

// approve|deny --key: the vote signed through the operator's SSH agent.
int ask_signed(const Invocation& invocation, const std::string& path,
               const approval::EnvLookup& env, const Streams& streams) {
  Result<DaemonLink, Unreachable> link = DaemonLink::connect(path);
  if (!link.ok()) return complain(streams, link.error().message, kUnreachable);
  const auto tell = [&streams](std::string_view line) {
    (void)io::write_fully(streams.err, std::string(line) + "\n");
  };
  auto answered = cast_signed_vote(link.value(), request_for(invocation), invocation.key,
                                   service::user_name_of(::getuid()), env("SSH_AUTH_SOCK"),
                                   static_cast<std::int64_t>(std::time(nullptr)), tell);
  if (!answered.ok()) {
    return complain(streams, answered.error().message,
                    answered.error().unreachable ? kUnreachable : kRefused);
  }
  if (!answered.value().ok) return refusal(streams, answered.value());
  return answered_output(invocation, answered.value(), streams);
}

// show --json: the request object as the daemon's canonical writer gives it.
int show_json(const Invocation& invocation, const std::string& path, const Streams& streams) {
  Result<service::OperatorAnswer, Unreachable> answered = ask_daemon(path, request_for(invocation));
  if (!answered.ok()) return complain(streams, answered.error().message, kUnreachable);
  if (!answered.value().ok) return refusal(streams, answered.value());
  if (!answered.value().request)
    return complain(streams, "the approval daemon sent no request", kUnreachable);
  std::string text;
  service::append_request_record(text, *answered.value().request);
  return print(streams, text + "\n", kDone);
}

int ask(const Invocation& invocation, const std::string& path, const Streams& streams) {
  if (invocation.json && invocation.subcommand == Subcommand::Show)
    return show_json(invocation, path, streams);
  if (invocation.json) return ask_for_json(invocation, path, streams);
  Result<service::OperatorAnswer, Unreachable> answered = ask_daemon(path, request_for(invocation));
  if (!answered.ok()) return complain(streams, answered.error().message, kUnreachable);
  if (!answered.value().ok) return refusal(streams, answered.value());
  return answered_output(invocation, answered.value(), streams);
}

}  // namespace

int run(std::span<const std::string_view> args, const approval::EnvLookup& env,
        const Streams& streams) {
  Result<Invocation, UsageError> parsed = parse_invocation(args);
  if (!parsed.ok()) {
    (void)io::write_fully(streams.err, std::string(kPrefix) + parsed.error().message + "\n" +
                                           std::string(kUsageText));
    return kUsage;
  }
  const Invocation& invocation = parsed.value();
  switch (invocation.subcommand) {
    case Subcommand::Help:
      return print(streams, kUsageText, kDone);
    case Subcommand::Version:
      return print(streams, "kelvane-operator-approvals " KOA_VERSION "\n", kDone);
    case Subcommand::Verify:
      return verify_command(
          invocation, streams,
          static_cast<std::uint64_t>(std::max<std::time_t>(std::time(nullptr), 0)));
    case Subcommand::PublicKey:
      return public_key_command(invocation, streams);
    default:
      break;
  }
  if (invocation.subcommand == Subcommand::Explain)
    return explain(invocation.explain_args, streams);
  const std::string path = operator_socket_path(invocation, env(kSocketVariable));
  if (invocation.subcommand == Subcommand::Watch) {
    std::optional<WatchSigning> signing;
    if (invocation.key) {
      const auto agent = env("SSH_AUTH_SOCK");
      signing =
          WatchSigning{invocation.key, agent ? std::optional<std::string>(*agent) : std::nullopt,
                       service::user_name_of(::getuid())};
    }
    return watch(path, streams, signing);
  }
  if (auto note = sudo_note(invocation.subcommand, env, std::string(kSudoConfPath)))
    (void)io::write_fully(streams.err, std::string(kPrefix) + *note);
  if (invocation.key) return ask_signed(invocation, path, env, streams);
  return ask(invocation, path, streams);
}

}  // namespace kelvane::operators
