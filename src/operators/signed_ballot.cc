#include "operators/signed_ballot.h"

#include "operators/exchange.h"
#include "operators/vote_signing.h"
#include "service/signed_vote.h"

namespace kelvane::operators {

Result<service::OperatorAnswer, BallotFailure> cast_signed_vote(
    DaemonLink& link, service::OperatorRequest vote, std::optional<std::string_view> key,
    std::string_view operator_user, std::optional<std::string_view> agent_socket, std::int64_t now,
    const std::function<void(std::string_view)>& tell) {
  service::OperatorRequest show;
  show.op = service::OperatorOp::Show;
  show.id = vote.id;
  auto shown = exchange(link, show);
  if (!shown.ok()) return fail(BallotFailure{shown.error().message, true});
  if (!shown.value().ok) return std::move(shown).value();
  const service::OperatorAnswer& answer = shown.value();
  if (!answer.request)
    return fail(BallotFailure{"the approval daemon sent no request to sign for", true});
  if (!answer.service_host)
    return fail(BallotFailure{"request " + vote.id +
                                  " is not open to votes, or this approval daemon takes no signed"
                                  " votes",
                              false});
  auto message = service::vote_message_for(*answer.request, *answer.service_host, vote.approve,
                                           vote.reason, operator_user, now);
  if (!message.ok()) return fail(BallotFailure{message.error(), false});
  auto signed_vote = sign_vote(message.value(), key, agent_socket, tell);
  if (!signed_vote.ok()) return fail(BallotFailure{signed_vote.error(), false});
  vote.signature = std::move(signed_vote.value().signature);
  vote.signed_at = now;
  auto answered = exchange(link, vote);
  if (!answered.ok()) return fail(BallotFailure{answered.error().message, true});
  return std::move(answered).value();
}

}  // namespace kelvane::operators
