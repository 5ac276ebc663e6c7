#include "sshsig/vote_message.h"

#include "sshsig/wire.h"
#include "support/utf8.h"

namespace kelvane::sshsig {
namespace {

constexpr std::string_view kMagic = "kelvane-operator-approval-vote";
constexpr std::string_view kDigestName = "sha256";
constexpr std::string_view kApprove = "approve";
constexpr std::string_view kDeny = "deny";

Result<void, std::string> check_fields(const VoteMessage& message) {
  if (message.request_digest.size() != kRequestDigestBytes)
    return fail(std::string("a request digest that is not 32 bytes"));
  const struct {
    std::string_view name;
    const std::string& value;
    bool may_be_empty;
  } texts[] = {{"request id", message.request_id, false},
               {"reason", message.reason, true},
               {"operator's user name", message.operator_user, false},
               {"operator's host", message.operator_host, false}};
  for (const auto& text : texts) {
    if (text.value.empty() && !text.may_be_empty) return fail("an empty " + std::string(text.name));
    if (!utf8::is_valid(text.value)) return fail("a " + std::string(text.name) + " not in UTF-8");
  }
  return {};
}

}  // namespace

Result<std::string, std::string> write_vote_message(const VoteMessage& message) {
  KOA_TRY_VOID(check_fields(message));
  WireWriter writer;
  writer.string(kMagic);
  writer.uint32(kVoteMessageVersion);
  writer.string(message.request_id);
  writer.string(kDigestName);
  writer.string(message.request_digest);
  writer.string(message.vote == Vote::Approve ? kApprove : kDeny);
  writer.string(message.reason);
  writer.string(message.operator_user);
  writer.string(message.operator_host);
  writer.uint64(message.time);
  if (writer.bytes().size() > kMaxVoteMessageBytes) return fail(std::string("a vote too long"));
  return std::move(writer).bytes();
}

Result<VoteMessage, std::string> read_vote_message(std::string_view bytes) {
  if (bytes.size() > kMaxVoteMessageBytes) return fail(std::string("a vote message too long"));
  WireReader reader(bytes);
  KOA_TRY(magic, reader.string());
  if (magic != kMagic) return fail(std::string("not a vote message"));
  KOA_TRY(version, reader.uint32());
  if (version != kVoteMessageVersion)
    return fail("a vote message of version " + std::to_string(version) + " (1 is supported)");
  VoteMessage out;
  KOA_TRY(request_id, reader.string());
  KOA_TRY(digest_name, reader.string());
  if (digest_name != kDigestName) return fail(std::string("a request digest other than sha256"));
  KOA_TRY(digest, reader.string());
  KOA_TRY(vote, reader.string());
  if (vote != kApprove && vote != kDeny)
    return fail(std::string("a vote neither approve nor deny"));
  KOA_TRY(reason, reader.string());
  KOA_TRY(user, reader.string());
  KOA_TRY(host, reader.string());
  KOA_TRY(time, reader.uint64());
  if (!reader.at_end()) return fail(std::string("bytes after the end of the vote message"));
  out.request_id = std::string(request_id);
  out.request_digest = std::string(digest);
  out.vote = vote == kApprove ? Vote::Approve : Vote::Deny;
  out.reason = std::string(reason);
  out.operator_user = std::string(user);
  out.operator_host = std::string(host);
  out.time = time;
  KOA_TRY_VOID(check_fields(out));
  return out;
}

}  // namespace kelvane::sshsig
