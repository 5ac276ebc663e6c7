// The vote message: its documented bytes, that every field is bound, and
// that a reader takes exactly what a writer makes.
#include <gtest/gtest.h>

#include "sshsig/vote_message.h"
#include "sshsig/wire.h"
#include "support/hex.h"

namespace kelvane::sshsig {
namespace {

VoteMessage sample() {
  VoteMessage message;
  message.request_id = "r1";
  message.request_digest = request_digest("request");
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
  variants[1].request_digest = request_digest("request ");
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

}  // namespace
}  // namespace kelvane::sshsig
