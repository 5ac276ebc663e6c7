// Signing and verifying tokens: the claims' one canonical text, and every
// reason a token is refused.
#include "token/token.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/base64url.h"

namespace kelvane::token {
namespace {

constexpr std::uint64_t kNow = 1'800'000'000;

Expectations expect(std::uint64_t now, std::optional<std::string> digest = std::nullopt,
                    std::optional<std::string> target_host = std::nullopt) {
  Expectations e;
  e.digest = std::move(digest);
  e.target_host = std::move(target_host);
  e.now = now;
  return e;
}

SigningKey key_of(std::uint8_t fill) {
  std::array<std::uint8_t, kKeyBytes> secret{};
  secret.fill(fill);
  return SigningKey::from_secret(secret);
}

PublicKey public_of(const SigningKey& key) {
  return {key.kid(), key.public_key(), std::nullopt};
}

Claims claims_for(const SigningKey& key) {
  Claims c;
  c.request_id = "17";
  c.operation_digest = "sha256:abc";
  c.uid = 1000;
  c.user = "alice";
  c.target_host = "web-03";
  c.action = "reboot";
  c.approvers = {"bob", "carol"};
  c.iat = kNow - 10;
  c.exp = kNow + 590;
  c.kid = key.kid();
  return c;
}

// The token with its claims replaced by `claims_text`, signed properly.
std::string signed_text(std::string_view claims_text, const SigningKey& key) {
  std::string token = "koa1." + base64url::encode(claims_text);
  const Signature s = key.sign(token);
  return token + "." + base64url::encode(s);
}

TEST(Claims, WriteInByteOrderAndReadBack) {
  const SigningKey key = key_of(1);
  Claims c = claims_for(key);
  EXPECT_EQ(write_claims(c),
            R"({"action":"reboot","approvers":["bob","carol"],"exp":1800000590,"iat":1799999990,)"
            R"("kid":")" +
                key.kid() +
                R"(","operationDigest":"sha256:abc","requestId":"17","targetHost":"web-03",)"
                R"("uid":1000,"user":"alice"})");
  auto read = read_claims(write_claims(c));
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value(), c);
  c.operation_digest.reset();
  EXPECT_EQ(write_claims(c).find("operationDigest"), std::string::npos);
  ASSERT_TRUE(read_claims(write_claims(c)).ok());
  EXPECT_EQ(read_claims(write_claims(c)).value(), c);
}

// Texts that say the same claims another way, or not quite the claims.
TEST(Claims, RefusesEveryOtherText) {
  const SigningKey key = key_of(1);
  const std::string good = write_claims(claims_for(key));
  auto replaced = [&](std::string_view from, std::string_view to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  const std::string table[] = {
      " " + good,
      good + " ",
      replaced(R"("uid":1000)", R"("uid":1e3)"),
      replaced(R"("uid":1000)", R"("uid":1000.0)"),
      replaced(R"("uid":1000)", R"("uid":-1)"),
      replaced(R"("uid":1000)", R"("uid":"1000")"),
      replaced(R"("user":"alice")", R"("user":"\u0061lice")"),
      replaced(R"({"action":"reboot",)", R"({)"),
      replaced(R"("action":"reboot","approvers")", R"("approvers")") + "x",
      replaced(R"("user":"alice"})", R"("user":"alice","extra":1})"),
      replaced(R"("user":"alice"})", R"("user":"alice","user":"alice"})"),
      replaced(R"("approvers":["bob","carol"])", R"("approvers":"bob")"),
      replaced(R"("approvers":["bob","carol"])", R"("approvers":["bob",1])"),
      replaced(R"("requestId":"17")", R"("requestId":"x17")"),
      replaced(R"("exp":1800000590)", R"("exp":1799999990)"),
      replaced(R"("kid":")" + key.kid(), R"("kid":"ABCDEF0123456789)"),
      // Members out of byte order.
      replaced(R"("action":"reboot","approvers":["bob","carol"])",
               R"("approvers":["bob","carol"],"action":"reboot")"),
      "[]",
      "",
      std::string("{\"action\":\"\xff\"}"),
  };
  for (const std::string& text : table) EXPECT_FALSE(read_claims(text).ok()) << text;
}

TEST(Token, SignedTokenVerifiesToItsClaims) {
  const SigningKey key = key_of(1);
  const Claims c = claims_for(key);
  const std::string token = sign_token(c, key);
  ASSERT_TRUE(token.starts_with("koa1."));
  const PublicKey keys[] = {public_of(key)};
  auto verified = verify_token(token, keys, {}, expect(kNow, "sha256:abc", "web-03"));
  ASSERT_TRUE(verified.ok()) << verified.error().line;
  EXPECT_EQ(verified.value(), c);
  // The signature covers exactly "koa1." + the encoded claims.
  const std::size_t dot = token.rfind('.');
  auto signature = base64url::decode(token.substr(dot + 1));
  ASSERT_TRUE(signature.ok());
  Signature s{};
  std::memcpy(s.data(), signature.value().data(), s.size());
  EXPECT_TRUE(signature_holds(key.public_key(), token.substr(0, dot), s));
}

struct Tampered {
  std::string name;
  std::string token;
  Expectations expected;
  Refusal reason;
  std::string line;
};

TEST(Token, EveryReasonIsGivenForItsFault) {
  const SigningKey key = key_of(1);
  const SigningKey other = key_of(2);
  const Claims c = claims_for(key);
  const std::string good = sign_token(c, key);
  const std::size_t dot = good.rfind('.');
  const std::string claims_part = good.substr(5, dot - 5);
  const std::string signature_part = good.substr(dot + 1);
  const Expectations plain = expect(kNow);

  auto with_byte = [](std::string text, std::size_t at) {
    // Another alphabet character at `at`: still base64url, other bytes.
    text[at] = text[at] == 'A' ? 'B' : 'A';
    return text;
  };
  // One bit of one byte of the claims flipped ("web-03" becomes "web-13"):
  // still canonical claims, no longer the ones signed.
  std::string flipped_claims = write_claims(c);
  flipped_claims[flipped_claims.find("web-03") + 4] ^= 0x01;
  std::string padded_claims = claims_part + std::string(4 - claims_part.size() % 4, '=');
  Claims by_other = c;
  by_other.kid = other.kid();
  Claims expired = c;
  expired.exp = kNow;
  Claims unknown_kid = c;
  unknown_kid.kid = "0123456789abcdef";
  Claims no_digest = c;
  no_digest.operation_digest.reset();
  std::string non_canonical = write_claims(c);
  non_canonical.insert(1, " ");

  const std::vector<Tampered> table = {
      {"claims byte flipped", "koa1." + base64url::encode(flipped_claims) + "." + signature_part,
       plain, Refusal::BadSignature, "bad signature"},
      {"signature byte flipped", "koa1." + claims_part + "." + with_byte(signature_part, 5), plain,
       Refusal::BadSignature, "bad signature"},
      {"signed by another key under this key's kid", signed_text(write_claims(c), other), plain,
       Refusal::BadSignature, "bad signature"},
      {"another key's kid", sign_token(by_other, other), plain, Refusal::UnknownKey,
       "unknown key: kid " + other.kid() + " is not published"},
      {"a kid nobody has", sign_token(unknown_kid, key), plain, Refusal::UnknownKey,
       "unknown key: kid 0123456789abcdef is not published"},
      {"expired", sign_token(expired, key), plain, Refusal::Expired,
       "expired at 2027-01-15T08:00:00Z"},
      {"other digest", good, expect(kNow, "sha256:abd"), Refusal::OtherDigest,
       "other digest: the token is for \"sha256:abc\""},
      {"no digest when one is asked for", sign_token(no_digest, key), expect(kNow, "sha256:abc"),
       Refusal::OtherDigest, "other digest: the token names no operation digest"},
      {"other host", good, expect(kNow, std::nullopt, "web-04"), Refusal::OtherHost,
       "other host: the token is for \"web-03\""},
      // The host is compared whole: neither a prefix nor a longer name nor
      // another case is the token's host.
      {"a prefix of the host", good, expect(kNow, std::nullopt, "web"), Refusal::OtherHost,
       "other host: the token is for \"web-03\""},
      {"the host and more", good, expect(kNow, std::nullopt, "web-030"), Refusal::OtherHost,
       "other host: the token is for \"web-03\""},
      {"the host in capitals", good, expect(kNow, std::nullopt, "WEB-03"), Refusal::OtherHost,
       "other host: the token is for \"web-03\""},
      {"an empty host", good, expect(kNow, std::nullopt, ""), Refusal::OtherHost,
       "other host: the token is for \"web-03\""},
      {"padding on the signature", good + "==", plain, Refusal::Malformed,
       "malformed: signature: padding at offset 86"},
      {"padding on the claims", "koa1." + padded_claims + "." + signature_part, plain,
       Refusal::Malformed,
       "malformed: claims: padding at offset " + std::to_string(claims_part.size())},
      {"another prefix", "koa3." + claims_part + "." + signature_part, plain, Refusal::Malformed,
       "malformed: it does not start with koa1."},
      {"no signature", "koa1." + claims_part, plain, Refusal::Malformed,
       "malformed: no signature part"},
      {"a third part", good + ".x", plain, Refusal::Malformed,
       "malformed: signature: a byte outside the base64url alphabet at offset 86"},
      {"short signature", "koa1." + claims_part + "." + signature_part.substr(0, 84), plain,
       Refusal::Malformed, "malformed: the signature is not 64 bytes"},
      {"standard alphabet", "koa1." + claims_part + "." + signature_part.substr(0, 85) + "+", plain,
       Refusal::Malformed,
       "malformed: signature: a byte outside the base64url alphabet at offset 85"},
      {"claims not canonical though signed", signed_text(non_canonical, key), plain,
       Refusal::Malformed, "malformed: the claims are not in canonical form"},
      {"empty", "", plain, Refusal::Malformed, "malformed: it does not start with koa1."},
      {"line feed kept", good + "\n", plain, Refusal::Malformed,
       "malformed: signature: a byte outside the base64url alphabet at offset 86"},
  };
  const PublicKey keys[] = {public_of(key)};
  for (const Tampered& t : table) {
    auto verified = verify_token(t.token, keys, {}, t.expected);
    ASSERT_FALSE(verified.ok()) << t.name;
    EXPECT_EQ(verified.error().reason, t.reason) << t.name;
    EXPECT_EQ(verified.error().line, t.line) << t.name;
    EXPECT_EQ(verified.error().line.find('\n'), std::string::npos) << t.name;
  }
}

TEST(Token, RevokedRequestIsRefusedOthersAreNot) {
  const SigningKey key = key_of(1);
  const std::string token = sign_token(claims_for(key), key);
  const PublicKey keys[] = {public_of(key)};
  const Revocation others[] = {{"170", kNow + 600}, {"1", kNow + 600}};
  EXPECT_TRUE(verify_token(token, keys, others, expect(kNow)).ok());
  const Revocation revoked[] = {{"1", kNow + 600}, {"17", kNow + 600}};
  auto verified = verify_token(token, keys, revoked, expect(kNow));
  ASSERT_FALSE(verified.ok());
  EXPECT_EQ(verified.error().reason, Refusal::Revoked);
  EXPECT_EQ(verified.error().line, "revoked: request 17");
}

TEST(Token, ExpiryEdgeIsExclusive) {
  const SigningKey key = key_of(1);
  const PublicKey keys[] = {public_of(key)};
  const std::string token = sign_token(claims_for(key), key);
  EXPECT_TRUE(verify_token(token, keys, {}, expect(kNow + 589)).ok());
  EXPECT_FALSE(verify_token(token, keys, {}, expect(kNow + 590)).ok());
}

TEST(Token, TextShownInARefusalIsEscaped) {
  const SigningKey key = key_of(1);
  Claims c = claims_for(key);
  c.target_host = "web\x1b[2J";
  const PublicKey keys[] = {public_of(key)};
  auto verified = verify_token(sign_token(c, key), keys, {}, expect(kNow, std::nullopt, "x"));
  ASSERT_FALSE(verified.ok());
  EXPECT_EQ(verified.error().line.find('\x1b'), std::string::npos);
}

TEST(Published, FilesReadBackAndRefuseAKidThatIsNotItsKey) {
  const SigningKey a = key_of(1);
  const SigningKey b = key_of(2);
  const std::vector<PublicKey> keys = {public_of(a), {b.kid(), b.public_key(), kNow + 600}};
  auto read = read_public_keys(write_public_keys(keys));
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value(), keys);
  std::vector<PublicKey> swapped = keys;
  swapped[0].kid = b.kid();
  EXPECT_FALSE(read_public_keys(write_public_keys(swapped)).ok());
  const std::vector<Revocation> revoked = {{"17", kNow}, {"3", kNow + 5}};
  auto back = read_revocations(write_revocations(revoked));
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back.value(), revoked);
  for (const char* bad : {"", "{}", R"({"keys":{}})", R"({"keys":[],"x":1})",
                          R"({"keys":[{"kid":"0011223344556677","publicKey":"AAAA"}]})"}) {
    EXPECT_FALSE(read_public_keys(bad).ok()) << bad;
  }
  for (const char* bad :
       {"", R"({"revoked":[{"requestId":"1"}]})", R"({"revoked":[{"exp":-1,"requestId":"1"}]})"}) {
    EXPECT_FALSE(read_revocations(bad).ok()) << bad;
  }
}

}  // namespace
}  // namespace kelvane::token
