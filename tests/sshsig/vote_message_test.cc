// The vote message: its documented bytes, that every field is bound, and
// that a reader takes exactly what a writer makes.
#include <gtest/gtest.h>

#include "sshsig/digest.h"
#include "sshsig/request_digest.h"
#include "sshsig/vote_message.h"
#include "sshsig/wire.h"
#include "support/hex.h"

namespace kelvane::sshsig {
namespace {

VoteMessage sample() {
  VoteMessage message;
  message.request_id = "r1";
  message.request_digest = sha256("request");
  message.vote = Vote::Approve;
  message.reason = "ok";
  message.operator_user = "alice";
  message.operator_host = "ops1";
  message.time = 1'700'000'000;
  return message;
}

std::string hex_of(std::string_view bytes) {
  return hex::of_bytes(std::span<const unsigned char>(
      reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

TEST(VoteMessage, HasTheDocumentedBytes) {
  // docs/signed-votes.md shows this example; change both or neither.
  const std::string expected =
      "0000001e" + hex_of("kelvane-operator-approval-vote") + "00000001" + "00000002" +
      hex_of("r1") + "00000006" + hex_of("sha256") + "00000020" +
      "1f58b9145b24d108d7ac38887338b3ea3229833b9c1e418250343f907bfd1047" + "00000007" +
      hex_of("approve") + "00000002" + hex_of("ok") + "00000005" + hex_of("alice") + "00000004" +
      hex_of("ops1") + "000000006553f100";
  auto bytes = write_vote_message(sample());
  ASSERT_TRUE(bytes.ok()) << bytes.error();
  EXPECT_EQ(hex_of(bytes.value()), expected);
}

TEST(VoteMessage, EveryFieldChangesTheBytesAndReadsBack) {
  const std::string base = write_vote_message(sample()).value();
  std::vector<VoteMessage> variants(7, sample());
  variants[0].request_id = "r2";
  variants[1].request_digest = sha256("request ");
  variants[2].vote = Vote::Deny;
  variants[3].reason = "";
  variants[4].operator_user = "alicf";
  variants[5].operator_host = "ops2";
  variants[6].time += 1;
  for (const VoteMessage& variant : variants) {
    auto bytes = write_vote_message(variant);
    ASSERT_TRUE(bytes.ok()) << bytes.error();
    EXPECT_NE(bytes.value(), base);
    auto back = read_vote_message(bytes.value());
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(back.value(), variant);
  }
  // Text moved from one field to the next is another message.
  VoteMessage shifted = sample();
  shifted.reason = "oka";
  shifted.operator_user = "lice";
  EXPECT_NE(write_vote_message(shifted).value(), base);
}

TEST(VoteMessage, RefusesWhatNoVerifierWouldRead) {
  std::vector<VoteMessage> invalid(5, sample());
  invalid[0].request_digest = "short";
  invalid[1].request_id = "";
  invalid[2].operator_user = "";
  invalid[3].operator_host = "";
  invalid[4].reason = "\xff";
  for (const VoteMessage& message : invalid) EXPECT_FALSE(write_vote_message(message).ok());

  const std::string good = write_vote_message(sample()).value();
  const auto with_version = [&](std::uint32_t version) {
    std::string bytes = good;
    WireWriter number;
    number.uint32(version);
    bytes.replace(4 + 30, 4, number.bytes());
    return bytes;
  };
  std::string other_vote = good;
  other_vote.replace(other_vote.find("approve"), 7, "approvE");
  const std::string bad[] = {
      good + "x", good.substr(0, good.size() - 1), with_version(2), with_version(0), other_vote,
      "",         std::string(100000, 'a')};
  for (const std::string& bytes : bad) EXPECT_FALSE(read_vote_message(bytes).ok());
}

RecordedRequest sample_request() {
  RecordedRequest request;
  request.id = "17";
  request.host = "db1";
  request.created_at = "2026-12-08T04:00:00Z";
  request.verified_uid = 1000;
  request.verified_user = "carol";
  request.via_sudo = true;
  request.title = "Reboot";
  request.detail = "kernel update";
  request.action = "reboot";
  request.requester = "carol";
  request.source_host = "db1";
  request.target_host = "db1";
  request.operation_digest = std::string(32, 'a') + std::string(32, 'b');
  request.timeout_secs = 300;
  return request;
}

TEST(RequestDigest, HasTheDocumentedLayout) {
  // Computed apart from this code from the layout in request_digest.h.
  RecordedRequest request = sample_request();
  request.operation_digest = "";
  for (int i = 0; i < 32; ++i) *request.operation_digest += "ab";
  EXPECT_EQ(hex_of(request_digest(request)),
            "a8e10810ea56ee41372441ac99b56ffd09d8ffada01745689f21d1e6247c3598");
}

TEST(RequestDigest, EveryRecordedFieldIsBound) {
  const std::string base = request_digest(sample_request());
  std::vector<RecordedRequest> variants(16, sample_request());
  variants[0].id = "18";
  variants[1].host = "db2";
  variants[2].created_at = "2026-12-08T04:00:01Z";
  variants[3].verified_uid = 0;
  variants[4].verified_user = "root";
  variants[5].via_sudo = false;
  variants[6].title = "Rebooт";
  variants[7].detail = "";
  variants[8].action = "reboot now";
  variants[9].requester = "mallory";
  variants[10].source_host = "db2";
  variants[11].target_host = "db2";
  variants[12].operation_digest.reset();
  variants[13].context = "{}";
  variants[14].timeout_secs = 301;
  // Text moved across a field boundary.
  variants[15].title = "Reboo";
  variants[15].detail = "tkernel update";
  for (std::size_t i = 0; i < variants.size(); ++i)
    EXPECT_NE(request_digest(variants[i]), base) << "variant " << i;
  // No context and an empty one are different requests.
  RecordedRequest empty_context = sample_request();
  empty_context.context = "";
  EXPECT_NE(request_digest(empty_context), base);
}

}  // namespace
}  // namespace kelvane::sshsig
