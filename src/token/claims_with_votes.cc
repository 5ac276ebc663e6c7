#include "token/claims_with_votes.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "json/json.h"
#include "sshsig/detached_signature.h"
#include "sshsig/public_key.h"
#include "sshsig/vote_message.h"
#include "support/base64url.h"
#include "support/utf8.h"

namespace kelvane::token {
namespace {

using json::Field;

Failure<std::string> problem(std::string text) {
  return fail(std::move(text));
}

std::string record_problem(std::string_view what, const json::RecordError& error) {
  return std::string(what) + " do not read: " + error.error.to_string();
}

std::string write_request(const sshsig::RecordedRequest& r) {
  std::string out;
  json::Serializer serializer(out);
  json::SerializeMap map = serializer.serialize_map();
  map.serialize_entry("action", r.action);
  if (r.context) map.serialize_entry("context", *r.context);
  map.serialize_entry("createdAt", r.created_at);
  map.serialize_entry("detail", r.detail);
  map.serialize_entry("host", r.host);
  map.serialize_entry("id", r.id);
  if (r.operation_digest) map.serialize_entry("operationDigest", *r.operation_digest);
  map.serialize_entry("requester", r.requester);
  map.serialize_entry("sourceHost", r.source_host);
  map.serialize_entry("targetHost", r.target_host);
  map.serialize_entry("timeoutSecs", r.timeout_secs);
  map.serialize_entry("title", r.title);
  map.serialize_entry("verifiedUid", std::uint64_t{r.verified_uid});
  map.serialize_entry("verifiedUser", r.verified_user);
  map.serialize_entry("viaSudo", json::Value::boolean(r.via_sudo));
  map.end();
  return out;
}

std::string write_votes(const std::vector<TokenVote>& votes) {
  std::string out = "[";
  for (const TokenVote& vote : votes) {
    if (out.size() > 1) out += ',';
    json::Serializer serializer(out);
    json::SerializeMap map = serializer.serialize_map();
    map.serialize_entry("keyFingerprint", vote.key_fingerprint);
    map.serialize_entry("message", base64url::encode(vote.message));
    map.serialize_entry("signature", base64url::encode(vote.signature));
    map.end();
  }
  out += ']';
  return out;
}

Result<sshsig::RecordedRequest, std::string> read_request(std::string_view text) {
  sshsig::RecordedRequest r;
  std::optional<std::uint64_t> timeout, uid;
  std::optional<json::Value> via_sudo;
  const Field fields[] = {
      Field::text("action", r.action),
      Field::text("context", r.context),
      Field::text("createdAt", r.created_at),
      Field::text("detail", r.detail),
      Field::text("host", r.host),
      Field::text("id", r.id),
      Field::text("operationDigest", r.operation_digest),
      Field::text("requester", r.requester),
      Field::text("sourceHost", r.source_host),
      Field::text("targetHost", r.target_host),
      Field::unsigned64("timeoutSecs", timeout),
      Field::text("title", r.title),
      Field::unsigned64("verifiedUid", uid),
      Field::text("verifiedUser", r.verified_user),
      Field::value("viaSudo", via_sudo),
  };
  auto read = json::read_record(text, {.fields = fields,
                                       .type_description = "the request",
                                       .unknown = json::UnknownMembers::Refuse});
  if (!read.ok()) return problem(record_problem("the request's members", read.error()));
  if (!timeout || !uid || !via_sudo)
    return problem("the request lacks one of \"timeoutSecs\", \"verifiedUid\", \"viaSudo\"");
  if (*uid > std::numeric_limits<std::uint32_t>::max())
    return problem("the request's \"verifiedUid\" is not a uid");
  if (via_sudo->kind() != json::Value::Kind::Bool)
    return problem("the request's \"viaSudo\" is not true or false");
  r.timeout_secs = *timeout;
  r.verified_uid = static_cast<std::uint32_t>(*uid);
  r.via_sudo = via_sudo->as_bool();
  if (sshsig::recorded_request_bytes(r).size() > kMaxTokenRequestBytes)
    return problem("the request is larger than " + std::to_string(kMaxTokenRequestBytes) +
                   " bytes");
  return r;
}

// A base64url member of a vote, at most `limit` bytes once decoded.
Result<std::string, std::string> vote_bytes(std::string_view name, std::string_view text,
                                            std::size_t limit) {
  if (text.size() > (limit + 2) / 3 * 4)
    return problem(std::string(name) + " is longer than " + std::to_string(limit) + " bytes");
  auto bytes = base64url::decode(text);
  if (!bytes.ok()) return problem(std::string(name) + ": " + bytes.error());
  return std::move(bytes).value();
}

Result<TokenVote, std::string> read_vote(std::string_view text) {
  TokenVote vote;
  std::string message, signature;
  const Field fields[] = {
      Field::text("keyFingerprint", vote.key_fingerprint),
      Field::text("message", message),
      Field::text("signature", signature),
  };
  auto read = json::read_record(
      text,
      {.fields = fields, .type_description = "a vote", .unknown = json::UnknownMembers::Refuse});
  if (!read.ok()) return problem(record_problem("its members", read.error()));
  KOA_TRY(message_bytes, vote_bytes("its message", message, sshsig::kMaxVoteMessageBytes));
  KOA_TRY(signature_bytes, vote_bytes("its signature", signature, sshsig::kMaxSignatureBlobBytes));
  auto read_message = sshsig::read_vote_message(message_bytes);
  if (!read_message.ok()) return problem("its message does not read: " + read_message.error());
  auto detached = sshsig::read_signature_blob(signature_bytes);
  if (!detached.ok()) return problem("its signature does not read: " + detached.error());
  if (sshsig::fingerprint(detached.value().key) != vote.key_fingerprint)
    return problem("its \"keyFingerprint\" is not its signature's key's");
  vote.message = std::move(message_bytes);
  vote.signature = std::move(signature_bytes);
  return vote;
}

Result<std::vector<TokenVote>, std::string> read_votes(std::string_view text,
                                                       const std::vector<std::string>& approvers) {
  auto elements = json::split_array(text);
  if (!elements.ok()) return problem("\"votes\" does not read: " + elements.error().to_string());
  const std::vector<std::string_view>& texts = elements.value();
  if (texts.empty()) return problem("\"votes\" is empty: a koa2 token carries its votes");
  if (texts.size() > kMaxTokenVotes)
    return problem("\"votes\" holds " + std::to_string(texts.size()) + " votes; at most " +
                   std::to_string(kMaxTokenVotes));
  if (texts.size() != approvers.size())
    return problem("\"approvers\" and \"votes\" are not as many");
  std::vector<TokenVote> votes;
  votes.reserve(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    auto vote = read_vote(texts[i]);
    if (!vote.ok()) return problem("vote " + std::to_string(i + 1) + ": " + vote.error());
    // Read above, so it reads again.
    if (sshsig::read_vote_message(vote.value().message).value().operator_user != approvers[i])
      return problem("vote " + std::to_string(i + 1) + " is not by approver " +
                     std::to_string(i + 1));
    votes.push_back(std::move(vote).value());
  }
  return votes;
}

// The claims the token shares with koa1 must be its request's.
std::optional<std::string> request_mismatch(const Claims& c, const sshsig::RecordedRequest& r) {
  if (c.request_id != r.id) return "\"requestId\"";
  if (c.action != r.action) return "\"action\"";
  if (c.target_host != r.target_host) return "\"targetHost\"";
  if (c.operation_digest != r.operation_digest) return "\"operationDigest\"";
  if (c.uid != r.verified_uid) return "\"uid\"";
  if (c.user != r.verified_user) return "\"user\"";
  return std::nullopt;
}

}  // namespace

std::string write_claims_with_votes(const ClaimsWithVotes& claims) {
  const Claims& c = claims.claims;
  std::vector<json::Value> names;
  names.reserve(c.approvers.size());
  for (const std::string& name : c.approvers) names.push_back(json::Value::string(name));
  std::string out;
  json::Serializer serializer(out);
  json::SerializeMap map = serializer.serialize_map();
  const json::Value approvers = json::Value::array(names);
  map.serialize_entry("action", c.action);
  map.serialize_entry("approvers", approvers);
  map.serialize_entry("exp", c.exp);
  map.serialize_entry("iat", c.iat);
  map.serialize_entry("kid", c.kid);
  if (c.operation_digest) map.serialize_entry("operationDigest", *c.operation_digest);
  map.serialize_key("request");
  out += write_request(claims.request);
  map.serialize_entry("requestId", c.request_id);
  map.serialize_entry("targetHost", c.target_host);
  map.serialize_entry("uid", c.uid);
  map.serialize_entry("user", c.user);
  map.serialize_key("votes");
  out += write_votes(claims.votes);
  map.end();
  return out;
}

Result<ClaimsWithVotes, std::string> read_claims_with_votes(std::string_view text) {
  if (!utf8::is_valid(text)) return problem("the claims are not UTF-8");
  ClaimsWithVotes out;
  Claims& c = out.claims;
  std::optional<json::Value> approvers;
  std::optional<std::uint64_t> uid, iat, exp;
  std::optional<json::CompactText> request, votes;
  const Field fields[] = {
      Field::text("action", c.action),
      Field::value("approvers", approvers),
      Field::unsigned64("exp", exp),
      Field::unsigned64("iat", iat),
      Field::text("kid", c.kid),
      Field::text("operationDigest", c.operation_digest),
      Field::compact_text("request", request),
      Field::text("requestId", c.request_id),
      Field::text("targetHost", c.target_host),
      Field::unsigned64("uid", uid),
      Field::text("user", c.user),
      Field::compact_text("votes", votes),
  };
  auto read = json::read_record(text, {.fields = fields,
                                       .type_description = "the claims",
                                       .unknown = json::UnknownMembers::Refuse});
  if (!read.ok()) return problem(record_problem("the claims", read.error()));
  if (!approvers || !uid || !iat || !exp || !request || !votes) {
    return problem(
        "the claims lack one of \"approvers\", \"uid\", \"iat\", \"exp\", \"request\", \"votes\"");
  }
  // The members koa1 shares, checked as koa1's reader checks them.
  Claims shared = c;
  shared.uid = *uid;
  shared.iat = *iat;
  shared.exp = *exp;
  const std::string shared_text = write_claims(shared, *approvers);
  auto checked = read_claims(shared_text);
  if (!checked.ok()) return problem(std::move(checked).error());
  c = std::move(checked).value();

  KOA_TRY(recorded, read_request(request->text()));
  out.request = std::move(recorded);
  if (auto member = request_mismatch(c, out.request))
    return problem("the claims' " + *member + " is not the request's");
  KOA_TRY(read_list, read_votes(votes->text(), c.approvers));
  out.votes = std::move(read_list);
  if (write_claims_with_votes(out) != text) return problem("the claims are not in canonical form");
  return out;
}

}  // namespace kelvane::token
