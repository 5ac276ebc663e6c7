// Verification of the four key types, security keys by signatures built by
// the format's rules: what must verify, and every alteration that must not.
#include <gtest/gtest.h>

#include "sshsig/detached_signature.h"
#include "sshsig/test_keys.h"
#include "sshsig/verify.h"
#include "sshsig/wire.h"

namespace kelvane::sshsig {
namespace {

using testing::TestKey;

constexpr KeyType kAllTypes[] = {KeyType::Ed25519, KeyType::EcdsaP256, KeyType::SkEd25519,
                                 KeyType::SkEcdsaP256};
constexpr std::string_view kNamespace = "kelvane-operator-approval";

Result<VerifiedSignature, std::string> verify_blob(std::string_view blob, std::string_view message,
                                                   std::string_view name_space = kNamespace,
                                                   const Requirements& requirements = {}) {
  auto signature = read_signature_blob(blob);
  if (!signature.ok()) return fail(signature.error());
  return verify_detached(signature.value(), message, name_space, requirements);
}

class EachKeyType : public ::testing::TestWithParam<KeyType> {};

TEST_P(EachKeyType, VerifiesWithBothHashesAndCarriesTheDetails) {
  const TestKey key(GetParam(), 9);
  for (const HashAlgorithm hash : {HashAlgorithm::Sha256, HashAlgorithm::Sha512}) {
    auto verified = verify_blob(
        key.sign_detached(kNamespace, "vote", hash, kUserPresent | kUserVerified, 77), "vote");
    ASSERT_TRUE(verified.ok()) << verified.error();
    EXPECT_EQ(verified.value().key, key.public_key());
    EXPECT_EQ(verified.value().hash, hash);
    if (is_security_key(GetParam())) {
      EXPECT_EQ(verified.value().details.flags, kUserPresent | kUserVerified);
      EXPECT_EQ(verified.value().details.counter, 77u);
    }
  }
}

TEST_P(EachKeyType, RefusesEveryAlteration) {
  const TestKey key(GetParam(), 9);
  const TestKey other(GetParam(), 10);
  const std::string blob = key.sign_detached(kNamespace, "vote");
  DetachedSignature with_other_key = read_signature_blob(blob).value();
  with_other_key.key = other.public_key();
  DetachedSignature other_hash = read_signature_blob(blob).value();
  other_hash.hash = HashAlgorithm::Sha256;
  DetachedSignature other_namespace = read_signature_blob(blob).value();
  other_namespace.name_space = "file";
  struct Case {
    const char* what;
    std::string blob;
    std::string message;
    std::string_view expected_namespace;
  };
  const Case cases[] = {
      {"another message", blob, "vote!", kNamespace},
      {"an empty message", blob, "", kNamespace},
      {"another namespace expected", blob, "vote", "file"},
      {"the namespace changed in the blob", write_signature_blob(other_namespace), "vote", "file"},
      {"another key named", write_signature_blob(with_other_key), "vote", kNamespace},
      {"another hash named", write_signature_blob(other_hash), "vote", kNamespace},
      {"signed for another namespace", key.sign_detached("file", "vote"), "vote", kNamespace},
  };
  for (const Case& c : cases)
    EXPECT_FALSE(verify_blob(c.blob, c.message, c.expected_namespace).ok()) << c.what;

  // Any one byte changed anywhere: unreadable or not verified.
  for (std::size_t at = 0; at < blob.size(); ++at) {
    std::string changed = blob;
    changed[at] = static_cast<char>(changed[at] ^ 0x01);
    EXPECT_FALSE(verify_blob(changed, "vote").ok()) << "byte " << at;
  }
}

TEST_P(EachKeyType, RefusesAnotherTypesSignature) {
  const TestKey key(GetParam(), 9);
  for (const KeyType other_type : kAllTypes) {
    if (other_type == GetParam()) continue;
    const TestKey other(other_type, 9);
    const std::string data = signed_data(kNamespace, HashAlgorithm::Sha512, "vote");
    EXPECT_FALSE(verify_key_signature(key.public_key(), other.sign(data), data).ok());
  }
}

INSTANTIATE_TEST_SUITE_P(Types, EachKeyType, ::testing::ValuesIn(kAllTypes));

TEST(SecurityKey, UserPresenceAndRequireTouch) {
  struct Case {
    KeyType type;
    std::uint8_t flags;
    Requirements requirements;
    bool accepted;
  };
  const Requirements presence{true, false};
  const Requirements no_presence{false, false};
  const Requirements touch{true, true};
  const Case cases[] = {
      {KeyType::SkEd25519, kUserPresent, presence, true},
      {KeyType::SkEd25519, 0, presence, false},
      {KeyType::SkEd25519, kUserVerified, presence, false},
      {KeyType::SkEd25519, 0, no_presence, true},
      {KeyType::SkEcdsaP256, kUserPresent, touch, true},
      {KeyType::SkEcdsaP256, 0, presence, false},
      {KeyType::SkEcdsaP256, kUserVerified, touch, false},
      {KeyType::Ed25519, 0, presence, true},
      {KeyType::Ed25519, 0, touch, false},
      {KeyType::EcdsaP256, 0, touch, false},
  };
  for (const Case& c : cases) {
    const TestKey key(c.type, 4);
    EXPECT_EQ(verify_blob(key.sign_detached(kNamespace, "m", HashAlgorithm::Sha512, c.flags), "m",
                          kNamespace, c.requirements)
                  .ok(),
              c.accepted)
        << type_name(c.type) << " flags " << int{c.flags};
  }
}

TEST(SecurityKey, FlagsCounterAndApplicationAreSigned) {
  for (const KeyType type : {KeyType::SkEd25519, KeyType::SkEcdsaP256}) {
    const TestKey key(type, 5);
    const std::string data = signed_data(kNamespace, HashAlgorithm::Sha512, "m");
    const std::string genuine = key.sign(data, 0, 7);
    ASSERT_TRUE(verify_key_signature(key.public_key(), genuine, data).ok());
    // A touch claimed afterwards, or a counter moved: the flags byte and
    // the counter are the last five bytes of the blob.
    std::string touched = genuine;
    touched[touched.size() - 5] = static_cast<char>(kUserPresent);
    EXPECT_FALSE(verify_key_signature(key.public_key(), touched, data).ok());
    std::string counter = genuine;
    counter.back() = '\x08';
    EXPECT_FALSE(verify_key_signature(key.public_key(), counter, data).ok());
    // The same key point bound to another application.
    const TestKey web(type, 5, "https://example.org");
    EXPECT_FALSE(verify_key_signature(web.public_key(), genuine, data).ok());
  }
}

TEST(Ecdsa, RefusesPointsOffTheCurveAndOutOfRangeNumbers) {
  const TestKey key(KeyType::EcdsaP256, 6);
  const std::string data = "d";
  std::string point = key.public_key().point;
  point.back() = static_cast<char>(point.back() ^ 1);
  EXPECT_FALSE(
      verify_key_signature(make_public_key(KeyType::EcdsaP256, point), key.sign(data), data).ok());
  for (const std::string& number : {std::string(), std::string(32, '\x7f')}) {
    WireWriter numbers;
    numbers.mpint(number);
    numbers.mpint(number);
    WireWriter blob;
    blob.string("ecdsa-sha2-nistp256");
    blob.string(numbers.bytes());
    EXPECT_FALSE(verify_key_signature(key.public_key(), blob.bytes(), data).ok());
  }
}

}  // namespace
}  // namespace kelvane::sshsig
