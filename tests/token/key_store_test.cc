// The service's key files: made once with their modes, read back, rotated
// and revoked, and published so that a verifier reading the files accepts
// what it should.
#include "token/key_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "token/files.h"
#include "token/token.h"

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

class KeyStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/koa-keys-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    paths_ = {root_ + "/state/keys", default_public_dir(root_ + "/state/")};
    std::filesystem::create_directory(root_ + "/state");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  static mode_t mode_of(const std::string& path) {
    struct stat s {};
    EXPECT_EQ(::stat(path.c_str(), &s), 0) << path;
    return s.st_mode & 07777;
  }
  std::string public_file() const { return paths_.public_dir + "/public-keys.json"; }

  Result<Claims, TokenRefusal> verify_with_files(const std::string& token, std::uint64_t now) {
    auto files = load_published(public_file());
    EXPECT_TRUE(files.ok()) << (files.ok() ? "" : files.error());
    if (!files.ok()) return fail(TokenRefusal{Refusal::Malformed, files.error()});
    return verify_token(token, files.value().keys, files.value().revoked, expect(now));
  }

  static std::string token_from(const KeyState& state, std::string id, std::uint64_t iat,
                                std::uint64_t lifetime) {
    Claims c;
    c.request_id = std::move(id);
    c.iat = iat;
    c.exp = iat + lifetime;
    c.kid = state.current.kid();
    return sign_token(c, state.current);
  }

  std::string root_;
  KeyPaths paths_;
};

TEST_F(KeyStoreTest, FirstStartMakesTheKeyAndPublishesItWithTheirModes) {
  auto opened = open_keys(paths_, 600, kNow);
  ASSERT_TRUE(opened.ok()) << opened.error();
  EXPECT_EQ(paths_.public_dir, root_ + "/state-public");
  EXPECT_EQ(mode_of(paths_.key_dir), 0700u);
  EXPECT_EQ(mode_of(paths_.key_dir + "/signing-key.json"), 0600u);
  EXPECT_EQ(mode_of(paths_.public_dir), 0755u);
  EXPECT_EQ(mode_of(public_file()), 0644u);
  EXPECT_EQ(mode_of(paths_.public_dir + "/revoked.json"), 0644u);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(paths_.public_dir), {}), 2);

  auto again = open_keys(paths_, 600, kNow + 5);
  ASSERT_TRUE(again.ok()) << again.error();
  EXPECT_EQ(again.value().current.kid(), opened.value().current.kid());
  EXPECT_EQ(again.value().current.secret(), opened.value().current.secret());
  const std::string token = token_from(again.value(), "5", kNow, 600);
  EXPECT_TRUE(verify_with_files(token, kNow + 1).ok());
}

TEST_F(KeyStoreTest, ModesAreMendedAtStart) {
  ASSERT_TRUE(open_keys(paths_, 600, kNow).ok());
  ::chmod(paths_.key_dir.c_str(), 0755);
  ::chmod(paths_.public_dir.c_str(), 0700);
  ASSERT_TRUE(open_keys(paths_, 600, kNow).ok());
  EXPECT_EQ(mode_of(paths_.key_dir), 0700u);
  EXPECT_EQ(mode_of(paths_.public_dir), 0755u);
}

TEST_F(KeyStoreTest, RotationKeepsOldTokensVerifiableUntilTheyExpire) {
  auto opened = open_keys(paths_, 600, kNow);
  ASSERT_TRUE(opened.ok());
  KeyState state = std::move(opened).value();
  const std::string old_token = token_from(state, "1", kNow, 600);
  auto next = SigningKey::generate();
  ASSERT_TRUE(next.ok());
  rotate(state, next.value(), kNow + 100);
  ASSERT_TRUE(save_public_keys(paths_, write_public_keys(published_keys(state))).ok());
  ASSERT_TRUE(save_signing_key(paths_, signing_key_text(state)).ok());
  const std::string new_token = token_from(state, "2", kNow + 100, 600);
  EXPECT_TRUE(verify_with_files(old_token, kNow + 101).ok());
  EXPECT_TRUE(verify_with_files(new_token, kNow + 101).ok());
  ASSERT_EQ(state.previous.size(), 1u);
  EXPECT_EQ(state.previous[0].retire_at, kNow + 100 + 600);

  // A restart after the old key's last token expired drops it.
  auto restarted = open_keys(paths_, 600, kNow + 700);
  ASSERT_TRUE(restarted.ok());
  EXPECT_EQ(restarted.value().current.kid(), next.value().kid());
  EXPECT_TRUE(restarted.value().previous.empty());
  auto refused = verify_with_files(token_from(opened.value(), "1", kNow + 700, 600), kNow + 701);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().reason, Refusal::UnknownKey);
}

TEST_F(KeyStoreTest, ALongerLifetimeIsRememberedAndKeepsTheOldKeyLonger) {
  ASSERT_TRUE(open_keys(paths_, 3600, kNow).ok());
  auto lowered = open_keys(paths_, 600, kNow + 1);
  ASSERT_TRUE(lowered.ok());
  KeyState state = std::move(lowered).value();
  EXPECT_EQ(state.longest_lifetime, 3600u);
  rotate(state, SigningKey::generate().value(), kNow + 10);
  EXPECT_EQ(state.previous[0].retire_at, kNow + 10 + 3600);
}

TEST_F(KeyStoreTest, RevocationsArePublishedKeptAcrossRestartsAndDroppedOnceExpired) {
  auto opened = open_keys(paths_, 600, kNow);
  ASSERT_TRUE(opened.ok());
  KeyState state = std::move(opened).value();
  const std::string token = token_from(state, "9", kNow, 600);
  EXPECT_TRUE(add_revocation(state, {"9", kNow + 600}, kNow + 1));
  EXPECT_FALSE(add_revocation(state, {"9", kNow + 600}, kNow + 2));  // idempotent
  ASSERT_TRUE(save_revocations(paths_, write_revocations(state.revoked)).ok());
  auto refused = verify_with_files(token, kNow + 3);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().reason, Refusal::Revoked);

  auto restarted = open_keys(paths_, 600, kNow + 4);
  ASSERT_TRUE(restarted.ok());
  EXPECT_EQ(restarted.value().revoked.size(), 1u);
  auto later = open_keys(paths_, 600, kNow + 600);
  ASSERT_TRUE(later.ok());
  EXPECT_TRUE(later.value().revoked.empty());
}

TEST_F(KeyStoreTest, ARevocationListThatDoesNotReadStopsTheStart) {
  ASSERT_TRUE(open_keys(paths_, 600, kNow).ok());
  std::ofstream(paths_.public_dir + "/revoked.json") << "{\"revoked\":[oops";
  auto reopened = open_keys(paths_, 600, kNow);
  ASSERT_FALSE(reopened.ok());
  EXPECT_NE(reopened.error().find("revoked.json"), std::string::npos) << reopened.error();
}

TEST_F(KeyStoreTest, ADamagedKeyFileStopsTheStartRatherThanMakeANewKey) {
  ASSERT_TRUE(open_keys(paths_, 600, kNow).ok());
  std::ofstream(paths_.key_dir + "/signing-key.json") << "{}";
  EXPECT_FALSE(open_keys(paths_, 600, kNow).ok());
}

TEST_F(KeyStoreTest, MissingRevocationListBesideThePublicKeysIsAnError) {
  ASSERT_TRUE(open_keys(paths_, 600, kNow).ok());
  std::filesystem::remove(paths_.public_dir + "/revoked.json");
  auto files = load_published(public_file());
  ASSERT_FALSE(files.ok());
  EXPECT_NE(files.error().find("revoked.json"), std::string::npos);
}

}  // namespace
}  // namespace kelvane::token
