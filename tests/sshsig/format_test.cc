// The wire encoding, keys, the detached signature blob and its armor.
#include <gtest/gtest.h>

#include "sshsig/base64.h"
#include "sshsig/detached_signature.h"
#include "sshsig/public_key.h"
#include "sshsig/test_keys.h"
#include "sshsig/wire.h"

namespace kelvane::sshsig {
namespace {

using testing::TestKey;

std::string with_length(std::string_view body) {
  WireWriter writer;
  writer.string(body);
  return std::move(writer).bytes();
}

TEST(Wire, MpintsHaveOneEncoding) {
  struct Case {
    std::string encoded;
    bool readable;
    std::string magnitude;
  };
  const Case cases[] = {
      {with_length(""), true, ""},
      {with_length("\x01"), true, "\x01"},
      {with_length(std::string("\x00\x80", 2)), true, "\x80"},
      {with_length("\x80"), false, ""},                      // negative
      {with_length(std::string("\x00\x01", 2)), false, ""},  // needless zero
      {with_length(std::string(1, '\0')), false, ""},        // zero spelt long
      {with_length(std::string(33, '\x01')), false, ""},     // too large
      {with_length("\x7f" + std::string(31, 'a')), true, "\x7f" + std::string(31, 'a')},
  };
  for (const Case& c : cases) {
    WireReader reader(c.encoded);
    auto value = reader.positive_mpint(32);
    ASSERT_EQ(value.ok(), c.readable) << ::testing::PrintToString(c.encoded);
    if (c.readable) {
      EXPECT_EQ(value.value(), c.magnitude);
    } else {
      EXPECT_EQ(reader.rest(), c.encoded) << "a failed read consumed bytes";
    }
  }
  // The writer makes exactly the readable forms.
  for (const std::string& magnitude : {std::string("\x80"), std::string("\x00\x00\x05", 3)}) {
    WireWriter writer;
    writer.mpint(magnitude);
    WireReader reader(writer.bytes());
    auto value = reader.positive_mpint(32);
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(value.value(), magnitude.substr(magnitude.find_first_not_of('\0')));
  }
}

TEST(Wire, StringsNeverReadPastTheEnd) {
  const std::string cut_short[] = {"", std::string("\x00\x00\x00", 3),
                                   std::string("\x00\x00\x00\x05"
                                               "abcd",
                                               8),
                                   std::string("\xff\xff\xff\xff"
                                               "a",
                                               5)};
  for (const std::string& bytes : cut_short) {
    WireReader reader(bytes);
    EXPECT_FALSE(reader.string().ok());
    EXPECT_EQ(reader.rest(), bytes);
  }
}

TEST(Base64, RefusesWhatIsNotWholePaddedGroups) {
  EXPECT_EQ(base64::decode("aGVsbG8=").value(), "hello");
  EXPECT_EQ(base64::encode("hello"), "aGVsbG8=");
  for (const char* text : {"aGVsbG8", "aGVs bG8=", "aGVsbG8=\n", "aGV*bG8=", "aG=sbG8="})
    EXPECT_FALSE(base64::decode(text).ok()) << text;
}

TEST(PublicKey, ReadsTheFourTypesAndRefusesOthers) {
  for (const KeyType type :
       {KeyType::Ed25519, KeyType::EcdsaP256, KeyType::SkEd25519, KeyType::SkEcdsaP256}) {
    const TestKey key(type, 3);
    auto read = read_public_key(key.public_key().blob);
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_EQ(read.value().point, key.public_key().point);
    EXPECT_EQ(read.value().application, is_security_key(type) ? "ssh:" : "");
    EXPECT_FALSE(read_public_key(key.public_key().blob + "x").ok());
    EXPECT_FALSE(
        read_public_key(key.public_key().blob.substr(0, key.public_key().blob.size() - 1)).ok());
  }
  WireWriter rsa;
  rsa.string("ssh-rsa");
  rsa.string("\x01\x00\x01");
  EXPECT_EQ(read_public_key(rsa.bytes()).error(), "key type \"ssh-rsa\" is not supported");
  WireWriter other_curve;
  other_curve.string("ecdsa-sha2-nistp256");
  other_curve.string("nistp384");
  other_curve.string("\x04" + std::string(64, 'a'));
  EXPECT_FALSE(read_public_key(other_curve.bytes()).ok());
  WireWriter short_key;
  short_key.string("ssh-ed25519");
  short_key.string(std::string(31, 'k'));
  EXPECT_FALSE(read_public_key(short_key.bytes()).ok());
}

TEST(DetachedSignature, BlobAndArmorRoundTrip) {
  const TestKey key(KeyType::Ed25519, 1);
  const std::string blob = key.sign_detached("ns", "message");
  auto read = read_signature_blob(blob);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value().name_space, "ns");
  EXPECT_EQ(read.value().hash, HashAlgorithm::Sha512);
  EXPECT_EQ(write_signature_blob(read.value()), blob);
  const std::string text = armor(blob);
  for (const std::string& line_wrapped : {text, "\n\n" + text + "\n  \n"}) {
    auto back = dearmor(line_wrapped);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(back.value(), blob);
  }
  std::string crlf;
  for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(dearmor(crlf).value(), blob);
}

TEST(DetachedSignature, RefusesMalformedBlobsAndArmor) {
  const TestKey key(KeyType::Ed25519, 1);
  const auto blob_with = [&](std::uint32_t version, std::string_view name_space,
                             std::string_view hash) {
    WireWriter writer;
    writer.raw("SSHSIG");
    writer.uint32(version);
    writer.string(key.public_key().blob);
    writer.string(name_space);
    writer.string("");
    writer.string(hash);
    writer.string(key.sign("x"));
    return std::move(writer).bytes();
  };
  ASSERT_TRUE(read_signature_blob(blob_with(1, "ns", "sha256")).ok());
  const std::string bad_blobs[] = {
      blob_with(2, "ns", "sha256"),
      blob_with(0, "ns", "sha256"),
      blob_with(1, "", "sha256"),
      blob_with(1, "ns", "sha1"),
      blob_with(1, "ns", "sha256") + "x",
      "SSHSIH" + blob_with(1, "ns", "sha256").substr(6),
      std::string(kMaxSignatureBlobBytes + 1, 'a'),
  };
  for (const std::string& blob : bad_blobs) EXPECT_FALSE(read_signature_blob(blob).ok());

  const std::string text = armor(blob_with(1, "ns", "sha256"));
  const std::string bad_texts[] = {
      "",
      text.substr(0, text.size() - 10),
      "junk\n" + text,
      text + "junk\n",
      "-----BEGIN SSH SIGNATURE-----\n!!!!\n-----END SSH SIGNATURE-----\n",
      "-----BEGIN SSH SIGNATURE-----\n" + std::string(kMaxArmoredBytes, 'A')};
  for (const std::string& bad : bad_texts) EXPECT_FALSE(dearmor(bad).ok()) << bad;
}

}  // namespace
}  // namespace kelvane::sshsig
