#include "support/base64url.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvane {
namespace {

struct Pair {
  std::string bytes;
  std::string text;
};

// RFC 4648's test vectors without padding, and the two characters that
// differ from the standard alphabet.
TEST(Base64Url, EncodesAndDecodesTheTableBothWays) {
  const Pair table[] = {
      {"", ""},
      {"f", "Zg"},
      {"fo", "Zm8"},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg"},
      {"fooba", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xfb\xff\xbf", 3), "-_-_"},
      {std::string("\x00\x00", 2), "AAA"},
      {std::string("\xff", 1), "_w"},
  };
  for (const Pair& p : table) {
    EXPECT_EQ(base64url::encode(p.bytes), p.text) << p.text;
    auto decoded = base64url::decode(p.text);
    ASSERT_TRUE(decoded.ok()) << p.text << ": " << decoded.error();
    EXPECT_EQ(decoded.value(), p.bytes) << p.text;
  }
}

TEST(Base64Url, RoundTripsEveryByteAtEveryLength) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) {
    bytes += static_cast<char>(i * 7 + 3);
    auto decoded = base64url::decode(base64url::encode(bytes));
    ASSERT_TRUE(decoded.ok());
    ASSERT_EQ(decoded.value(), bytes);
  }
}

// Everything but the one text the encoder writes is refused.
TEST(Base64Url, RefusesAnyOtherSpelling) {
  const struct {
    std::string text;
    std::string why;
  } table[] = {
      {"Zg==", "padding at offset 2"},
      {"Zm8=", "padding at offset 3"},
      {"Zh", "unused bits that are not zero at the end"},
      {"Zm9", "unused bits that are not zero at the end"},
      {"Z", "a length that no byte string encodes to"},
      {"Zm9vY", "a length that no byte string encodes to"},
      {"Zm9+", "a byte outside the base64url alphabet at offset 3"},
      {"Zm9/", "a byte outside the base64url alphabet at offset 3"},
      {"Zm 9", "a byte outside the base64url alphabet at offset 2"},
      {"Zm9v\nAA", "a byte outside the base64url alphabet at offset 4"},
      {std::string("Zm\0v", 4), "a byte outside the base64url alphabet at offset 2"},
      {"Zm9v\xc3\xa9", "a byte outside the base64url alphabet at offset 4"},
      {".Zm9", "a byte outside the base64url alphabet at offset 0"},
  };
  for (const auto& c : table) {
    auto decoded = base64url::decode(c.text);
    ASSERT_FALSE(decoded.ok()) << c.text;
    EXPECT_EQ(decoded.error(), c.why) << c.text;
  }
}

}  // namespace
}  // namespace kelvane
