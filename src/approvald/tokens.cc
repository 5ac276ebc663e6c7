// Approval tokens in the daemon: each approval signed on the loop (Ed25519
// takes some 50 µs), the key files and the revocation list written on the
// commit thread, in order with the record, never on the loop. An approval
// whose approving votes are all signed gets a koa2 token, which carries
// them; any other a koa1 token.
#include <algorithm>
#include <ctime>

#include "daemon.h"
#include "service/answer.h"
#include "service/signed_vote.h"
#include "support/utc_time.h"
#include "token/token.h"
#include "token/token_with_votes.h"

namespace kelvane::approvald {
namespace {

// The approving votes of `record` with the messages their operators signed,
// rebuilt from the record as when they were checked (each through the
// service that took it: `service_host` unless the vote names another).
// nullopt when there is none or one is unsigned: that approval is koa1's.
Result<std::optional<std::vector<token::RecordedVote>>, std::string> signed_approvals(
    const service::RequestRecord& record, const std::string& service_host) {
  std::vector<token::RecordedVote> votes;
  for (const service::VoteRecord& vote : record.votes) {
    if (!vote.approve) continue;
    if (!vote.signature || !vote.signed_at)
      return std::optional<std::vector<token::RecordedVote>>();
    KOA_TRY(message, service::vote_message_for(record, vote.host.value_or(service_host), true,
                                               vote.reason, vote.operator_name, *vote.signed_at));
    KOA_TRY(bytes, sshsig::write_vote_message(message));
    votes.push_back({std::move(bytes), *vote.signature});
  }
  if (votes.empty()) return std::optional<std::vector<token::RecordedVote>>();
  return std::optional(std::move(votes));
}

// The koa2 token of an approval whose approving votes are all signed; ""
// when there is none or one is unsigned (the approval is koa1's); an error
// when the votes make no token (the service then gives koa1's and says why).
Result<std::string, std::string> token_with_votes(const service::RequestRecord& record,
                                                  const token::Claims& claims,
                                                  const std::string& service_host,
                                                  const token::SigningKey& key) {
  KOA_TRY(votes, signed_approvals(record, service_host));
  if (!votes) return std::string();
  return token::issue_token_with_votes(
      claims, service::recorded_request_of(record, record.host.value_or(service_host)), *votes,
      key);
}

std::uint64_t now_seconds() {
  return static_cast<std::uint64_t>(std::max<std::time_t>(std::time(nullptr), 0));
}

}  // namespace

bool Daemon::sign_approval(Requester& r, std::time_t now) {
  if (!keys_ || now <= 0) return false;
  const std::uint64_t lifetime = settings_.config.token_lifetime;
  if (lifetime > keys_->longest_lifetime) {
    // A longer lifetime since the last start (a reload): remembered, so that
    // a replaced key and a revocation last as long as this token. Written
    // ahead of the verdict, which the commit thread writes after it.
    keys_->longest_lifetime = lifetime;
    commits_->submit([paths = key_paths_, text = token::signing_key_text(*keys_)](
                         service::Store&) { return token::save_signing_key(paths, text); },
                     [this](const Result<void, std::string>& done) {
                       if (!done.ok())
                         journal_.note("cannot write the signing key's file: " + done.error());
                     });
    if (fleet_) fleet_publish_keys();
  }
  token::Claims claims;
  claims.request_id = r.record.id;
  claims.operation_digest = r.record.operation_digest;
  claims.uid = r.record.verified_uid;
  claims.user = r.record.verified_user;
  claims.target_host = r.record.target_host;
  claims.action = r.record.action;
  for (const service::VoteRecord& vote : r.record.votes) {
    if (!vote.approve) continue;
    claims.approvers.push_back(vote.operator_name.empty() ? "uid " + std::to_string(vote.uid)
                                                          : vote.operator_name);
  }
  claims.iat = static_cast<std::uint64_t>(now);
  claims.exp = claims.iat + lifetime;
  claims.kid = keys_->current.kid();
  std::string token;
  if (settings_.config.operator_keys) {
    auto issued =
        token_with_votes(r.record, claims, service::host_name_of(settings_.config), keys_->current);
    if (issued.ok())
      token = std::move(issued).value();
    else
      journal_.note("request " + r.record.id + ": a koa1 token, not koa2: " + issued.error());
  }
  if (token.empty()) token = token::sign_token(claims, keys_->current);
  // A token no verifier would read is no approval.
  const std::size_t limit = token.starts_with(token::kTokenWithVotesPrefix)
                                ? token::kMaxTokenWithVotesBytes
                                : token::kMaxTokenBytes;
  if (token.size() > limit) return false;
  r.token = std::move(token);
  r.token_expires_at = utc_text(static_cast<std::int64_t>(claims.exp));
  return true;
}

void Daemon::rotate_key(Reply to) {
  if (rotating_) return refuse(to, service::kOperatorRefused, "a new signing key is being written");
  auto next = token::SigningKey::generate();
  if (!next.ok()) {
    return refuse(to, service::kOperatorRefused, "cannot make a signing key: " + next.error());
  }
  auto state = std::make_shared<token::KeyState>(*keys_);
  token::rotate(*state, next.value(), now_seconds());
  rotating_ = true;
  // The public file first: a key is published before it signs anything.
  commits_->submit(
      [paths = key_paths_, public_text = public_keys_text(*state),
       key_text = token::signing_key_text(*state)](service::Store&) -> Result<void, std::string> {
        KOA_TRY_VOID(token::save_public_keys(paths, public_text));
        return token::save_signing_key(paths, key_text);
      },
      [this, to, state](const Result<void, std::string>& done) {
        rotating_ = false;
        if (done.ok()) {
          // Revocations made meanwhile are kept.
          state->revoked = keys_->revoked;
          state->longest_lifetime = std::max(state->longest_lifetime, keys_->longest_lifetime);
          const std::string old_kid = keys_->current.kid();
          *keys_ = std::move(*state);
          journal_.note("signing key rotated: tokens are signed with key " + keys_->current.kid() +
                        "; key " + old_kid + " stays published until its last token expires");
          if (fleet_) fleet_publish_keys();
        } else {
          journal_.note("cannot rotate the signing key: " + done.error());
        }
        if (done.ok()) {
          service::OperatorAnswer a;
          a.kid = keys_->current.kid();
          answer(to, std::move(a));
        } else {
          refuse(to, service::kOperatorRefused,
                 "the new signing key cannot be written: " + done.error());
        }
      });
}

void Daemon::revoke(Reply to, const service::OperatorRequest& request) {
  for (const auto& [key, r] : requesters_) {
    if (!r->phase.has_id() || r->record.id != request.id) continue;
    if (r->phase == Phase::Pending) {
      return refuse(to, service::kOperatorRefused,
                    "request " + request.id + " is pending: it has no token to revoke");
    }
    return revoke_approved(to, r->record);
  }
  if (fleet_) return fleet_revoke(to, request);
  with_recorded_request(to, request.id, [this](Reply later, service::RequestRecord record) {
    revoke_approved(later, record);
  });
}

void Daemon::revoke_approved(Reply to, const service::RequestRecord& record,
                             std::uint64_t signer_lifetime) {
  if (record.state != "approved") {
    return refuse(to, service::kOperatorRefused,
                  "request " + record.id + " is " + record.state +
                      ": only an approved request has a token to revoke");
  }
  const std::optional<std::int64_t> issued = parse_rfc3339(record.decided_at.value_or(""));
  if (!issued || *issued < 0) {
    return refuse(to, service::kOperatorRefused,
                  "request " + record.id + ": the record's decision time does not read");
  }
  // No token of the request lives longer than this (see key_store.h).
  const token::Revocation revocation{
      record.id,
      static_cast<std::uint64_t>(*issued) + std::max(keys_->longest_lifetime, signer_lifetime)};
  const std::uint64_t now = now_seconds();
  service::OperatorAnswer a;
  if (revocation.exp <= now) {
    a.state = "expired";  // nothing left to revoke
    return answer(to, std::move(a));
  }
  a.state = "revoked";
  if (!token::add_revocation(*keys_, revocation, now)) return answer(to, std::move(a));
  // Answered once the list is written; a list that cannot be written takes
  // the revocation back, so that asking again tries again.
  commits_->submit(
      [paths = key_paths_, text = revocations_text()](service::Store&) {
        return token::save_revocations(paths, text);
      },
      [this, to, revocation](const Result<void, std::string>& done) {
        if (done.ok()) {
          journal_.note("request " + revocation.request_id + ": approval token revoked");
          if (fleet_) fleet_publish_keys();
        } else {
          std::erase(keys_->revoked, revocation);
          journal_.note("cannot write the revocation list: " + done.error());
        }
        if (done.ok()) {
          service::OperatorAnswer answered;
          answered.state = "revoked";
          answer(to, std::move(answered));
        } else {
          refuse(to, service::kOperatorRefused,
                 "the revocation list cannot be written: " + done.error());
        }
      });
}

}  // namespace kelvane::approvald
