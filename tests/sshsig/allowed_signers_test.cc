// Allowed-signers files: what reads, what is refused with which message,
// and which line lets whom sign where and when.
#include <gtest/gtest.h>

#include <cstdlib>

#include "sshsig/allowed_signers.h"
#include "sshsig/test_keys.h"

namespace kelvane::sshsig {
namespace {

using testing::TestKey;

const TestKey& alice_key() {
  static const TestKey key(KeyType::Ed25519, 1);
  return key;
}
const TestKey& bob_key() {
  static const TestKey key(KeyType::SkEcdsaP256, 2);
  return key;
}

std::string line(std::string_view principals, std::string_view options, const TestKey& key,
                 std::string_view comment = "") {
  std::string out(principals);
  out += ' ';
  if (!options.empty()) {
    out += options;
    out += ' ';
  }
  out += key_text(key.public_key());
  if (!comment.empty()) out += " " + std::string(comment);
  return out;
}

TEST(AllowedSigners, ReadsLinesCommentsAndOptions) {
  const std::string text = "# operators\n\n   \n" + line("alice", "", alice_key(), "laptop") +
                           "\r\n" +
                           line("\"bob,carol smith\"",
                                "NAMESPACES=\"kelvane-*,file\",valid-after=\"20200101Z\","
                                "valid-before=\"20300101120000Z\"",
                                bob_key()) +
                           "\n  # indented comment\n";
  auto signers = read_allowed_signers(text);
  ASSERT_TRUE(signers.ok()) << signers.error();
  ASSERT_EQ(signers.value().size(), 2u);
  const AllowedSigner& alice = signers.value()[0];
  EXPECT_EQ(alice.line, 4u);
  EXPECT_EQ(alice.principals, "alice");
  EXPECT_FALSE(alice.namespaces || alice.valid_after || alice.valid_before);
  EXPECT_EQ(alice.key, alice_key().public_key());
  const AllowedSigner& bob = signers.value()[1];
  EXPECT_EQ(bob.line, 5u);
  EXPECT_EQ(bob.principals, "bob,carol smith");
  EXPECT_EQ(bob.namespaces, "kelvane-*,file");
  EXPECT_EQ(bob.valid_after, 1577836800);
  EXPECT_EQ(bob.valid_before, 1893499200);
  EXPECT_EQ(bob.key, bob_key().public_key());
}

TEST(AllowedSigners, RefusesTheWholeFileWithTheLineAndReason) {
  const std::string key = key_text(alice_key().public_key());
  const std::string type = "ssh-ed25519 ";
  const std::string base64 = key.substr(type.size());
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"alice " + key + "\nbob cert-authority " + key, "line 2: cert-authority is not supported"},
      {"alice no-touch-required " + key, "line 1: no-touch-required is not accepted"},
      {"alice bogus " + key, "line 1: unknown option \"bogus\""},
      {"alice bo\x1b[2Jgus " + key, "unknown option \"bo\\u{1b}[2Jgus\""},
      {"alice namespaces=kelvane " + key, "must be in double quotes"},
      {"alice namespaces=\"a\",namespaces=\"b\" " + key, "option \"namespaces\" given twice"},
      {"alice valid-after=\"2020010\" " + key, "option \"valid-after\": a time that is not"},
      {"alice valid-before=\"20230230Z\" " + key, "a time that does not exist"},
      {"alice namespaces=\"open " + key, "a double quote left open"},
      {"alice ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAABAQ", "key type \"ssh-rsa\" is not supported"},
      {"alice ecdsa-sha2-nistp384 " + base64, "key type \"ecdsa-sha2-nistp384\" is not supported"},
      {"alice ecdsa-sha2-nistp256 " + base64,
       "the key is of type ssh-ed25519, not \"ecdsa-sha2-nistp256\""},
      {"alice ssh-ed25519 " + base64.substr(1), "the key is not base64"},
      {"alice ssh-ed25519", "a key type without its key"},
      {"alice", "no key"},
      {"\"alice " + key, "a double quote left open"},
      {"al\"ice\" " + key, "a double quote inside the principals"},
      {"alice ssh-ed25519 AAAAC3NzaC1lZDI1NTE5", "the key cannot be read"},
  };
  for (const Case& c : cases) {
    auto signers = read_allowed_signers(c.text);
    ASSERT_FALSE(signers.ok()) << c.text;
    EXPECT_NE(signers.error().find(c.message), std::string::npos)
        << c.text << "\n  gave: " << signers.error();
  }
}

TEST(AllowedSigners, PatternLists) {
  struct Case {
    std::string_view list;
    std::string_view name;
    bool matches;
  };
  const Case cases[] = {
      {"alice", "alice", true},       {"alice", "Alice", false},
      {"alice", "alicex", false},     {"alice,bob", "bob", true},
      {"al*", "alice", true},         {"al*,!bob", "albob", true},
      {"*,!bob", "bob", false},       {"!bob", "alice", false},
      {"a?ice", "alice", true},       {"a?ice", "aice", false},
      {"*a*b*c*", "xxaxbxxcx", true}, {"*a*b*c*", "xxaxcxxbx", false},
      {"", "alice", false},           {"*", "", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(pattern_list_matches(c.list, c.name), c.matches) << c.list << " ~ " << c.name;
  // A pattern that would backtrack exponentially stays quick.
  EXPECT_FALSE(pattern_list_matches(std::string(40, '*') + "b", std::string(4000, 'a')));
}

TEST(AllowedSigners, TimesInUtcAndLocalTime) {
  EXPECT_EQ(read_signer_time("20240229Z").value(), 1709164800);
  EXPECT_EQ(read_signer_time("202402291230Z").value(), 1709209800);
  EXPECT_EQ(read_signer_time("20240229123045Z").value(), 1709209845);
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  ::setenv("TZ", "UTC+2", 1);
  ::tzset();
  EXPECT_EQ(read_signer_time("20240229").value(), 1709164800 + 2 * 3600);
  if (old_tz)
    ::setenv("TZ", saved.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
  for (const char* bad : {"2024022", "202402291", "20241301Z", "20240229246000Z", "2024022aZ", "Z",
                          "20240229ZZ", "20240229z"})
    EXPECT_FALSE(read_signer_time(bad).ok()) << bad;
}

TEST(AllowedSigners, FindsTheLineThatLetsThisPrincipalSignHereAndNow) {
  const std::string text =
      line("alice,!mallory", "namespaces=\"kelvane-operator-approval\"", alice_key()) + "\n" +
      line("ops-*", "valid-after=\"20250101Z\",valid-before=\"20260101Z\"", bob_key()) + "\n";
  const auto signers = read_allowed_signers(text).value();
  constexpr std::int64_t k2025 = 1735689600;
  struct Case {
    std::string_view principal;
    const TestKey* key;
    std::string_view name_space;
    std::int64_t when;
    std::string outcome;  // "line N" found, or a part of the refusal
  };
  const Case cases[] = {
      {"alice", &alice_key(), "kelvane-operator-approval", 0, "line 1"},
      {"alice", &alice_key(), "file", 0, "may not sign in namespace \"file\""},
      {"mallory", &alice_key(), "kelvane-operator-approval", 0, "no key SHA256:"},
      {"alice", &bob_key(), "kelvane-operator-approval", 0, "no key SHA256:"},
      {"ops-bob", &bob_key(), "anything", k2025, "line 2"},
      {"ops-bob", &bob_key(), "anything", k2025 - 1, "not yet valid"},
      {"ops-bob", &bob_key(), "anything", k2025 + 365 * 86400, "line 2"},
      {"ops-bob", &bob_key(), "anything", k2025 + 365 * 86400 + 1, "has expired"},
      {"bob", &bob_key(), "anything", k2025, "no key"},
  };
  for (const Case& c : cases) {
    auto found = find_signer(signers, c.principal, c.key->public_key(), c.name_space, c.when);
    const std::string outcome =
        found.ok() ? "line " + std::to_string(found.value()->line) : found.error();
    EXPECT_NE(outcome.find(c.outcome), std::string::npos) << c.principal << ": " << outcome;
  }
}

}  // namespace
}  // namespace kelvane::sshsig
