// RFC 8032's Ed25519 test vectors, through the calls the tokens make.
#include <gtest/gtest.h>

#include <string>

#include "support/hex.h"
#include "token/signing_key.h"

namespace kelvane::token {
namespace {

template <std::size_t N>
std::array<std::uint8_t, N> bytes_of_hex(std::string_view hex) {
  std::array<std::uint8_t, N> out{};
  for (std::size_t i = 0; i < N; ++i)
    out[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  return out;
}

std::string text_of_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

struct Vector {
  std::string_view secret;
  std::string_view public_key;
  std::string_view message;
  std::string_view signature;
};

constexpr Vector kVectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
     "4"
     "6bd25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11"
     "d"
     "8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc"
     "6"
     "594a7c15e9716ed28dc027beceea1ec40a"},
};

TEST(Ed25519, SignsAndVerifiesTheRfc8032Vectors) {
  for (const Vector& v : kVectors) {
    const SigningKey key = SigningKey::from_secret(bytes_of_hex<kKeyBytes>(v.secret));
    EXPECT_EQ(hex::of_bytes(key.public_key()), v.public_key);
    const std::string message = text_of_hex(v.message);
    const Signature signature = key.sign(message);
    EXPECT_EQ(hex::of_bytes(signature), v.signature);
    EXPECT_TRUE(signature_holds(key.public_key(), message, signature));
    Signature flipped = signature;
    flipped[10] ^= 0x01;
    EXPECT_FALSE(signature_holds(key.public_key(), message, flipped));
    EXPECT_FALSE(signature_holds(key.public_key(), message + "x", signature));
  }
}

TEST(Ed25519, KeyIdIsTheStartOfTheSha256OfThePublicKey) {
  const SigningKey key = SigningKey::from_secret(bytes_of_hex<kKeyBytes>(kVectors[0].secret));
  EXPECT_EQ(key.kid(), "21fe31dfa154a261");
  EXPECT_EQ(key.kid(), key_id(key.public_key()));
  const SigningKey other = SigningKey::from_secret(bytes_of_hex<kKeyBytes>(kVectors[1].secret));
  EXPECT_NE(key.kid(), other.kid());
}

TEST(Ed25519, GeneratedKeysDiffer) {
  auto a = SigningKey::generate();
  auto b = SigningKey::generate();
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(a.value().public_key(), b.value().public_key());
  EXPECT_TRUE(signature_holds(a.value().public_key(), "m", a.value().sign("m")));
}

}  // namespace
}  // namespace kelvane::token
