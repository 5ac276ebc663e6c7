// The key files as an administrator, a full disk or a crash may leave them:
// whatever is found, the start either keeps the key it had or stops with a
// reason that names the file. It never makes a new key over an old one,
// never waits forever, and never keeps a secret readable by others.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>

#include "testing/service.h"
#include "token/files.h"
#include "token/key_store.h"
#include "token/published.h"

namespace kelvane::token {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t kNow = 1'800'000'000;

std::string read_text(const std::string& path) {
  return testing::read_file(path);
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

mode_t mode_of(const std::string& path) {
  struct stat s {};
  EXPECT_EQ(::lstat(path.c_str(), &s), 0) << path;
  return s.st_mode & 07777;
}

class KeyFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/koa-key-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    paths_ = {root_ + "/state/keys", root_ + "/state-public"};
    std::filesystem::create_directory(root_ + "/state");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string key_file() const { return paths_.key_dir + "/signing-key.json"; }
  std::string revoked_file() const { return paths_.public_dir + "/revoked.json"; }
  std::string public_file() const { return paths_.public_dir + "/public-keys.json"; }

  // open_keys in a thread of its own, so that a start that blocks fails the
  // test instead of hanging it.
  Result<KeyState, std::string> open_within(std::chrono::seconds limit) {
    auto opened = std::async(std::launch::async, [this] { return open_keys(paths_, 600, kNow); });
    if (opened.wait_for(limit) == std::future_status::ready) return opened.get();
    unblock_fifos();
    ADD_FAILURE() << "the start did not end within " << limit.count() << " s";
    return opened.get();
  }
  void unblock_fifos() {
    for (const std::string& path : {key_file(), revoked_file(), public_file()}) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  }

  std::string root_;
  KeyPaths paths_;
};

// A key file that does not read stops the start, and stays as it was: what
// it holds may be the only copy of the key the hosts trust.
TEST_F(KeyFiles, AKeyFileThatDoesNotReadStopsTheStartAndIsKept) {
  ASSERT_TRUE(open_keys(paths_, 600, kNow).ok());
  const std::string good = read_text(key_file());
  const std::string secret_member = good.substr(good.find("\"secret\""));
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty (a crash before the first write)", ""},
      {"cut short", good.substr(0, good.size() / 2)},
      {"not an object", "[]"},
      {"a secret of 31 bytes",
       R"({"longestLifetime":600,"previous":[],"secret":")" + std::string(42, 'A') + "\"}"},
      {"a secret that is not base64url", R"({"longestLifetime":600,"previous":[],"secret":"*"})"},
      {"a lifetime as text", R"({"longestLifetime":"600","previous":[],)" + secret_member},
      {"a negative lifetime", R"({"longestLifetime":-1,"previous":[],)" + secret_member},
      {"previous keys that are not a list",
       R"({"longestLifetime":600,"previous":7,)" + secret_member},
      {"a previous key without its kid",
       R"({"longestLifetime":600,"previous":[{}],)" + secret_member},
      {"over the size limit", std::string(kMaxPublishedBytes + 1, ' ')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_text(key_file(), c.text);
    auto opened = open_keys(paths_, 600, kNow);
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().find("signing-key.json"), std::string::npos) << opened.error();
    EXPECT_EQ(read_text(key_file()), c.text);
  }
  write_text(key_file(), good);
  EXPECT_TRUE(open_keys(paths_, 600, kNow).ok());
}

// What is not a regular file where a key file belongs stops the start at
// once; a pipe would otherwise hold it until someone writes to it.
TEST_F(KeyFiles, WhatIsNotARegularFileIsRefusedWithoutWaiting) {
  ASSERT_TRUE(open_keys(paths_, 600, kNow).ok());
  const std::string key = read_text(key_file());
  const std::string revoked = read_text(revoked_file());
  const struct {
    const char* what;
    std::string path;
    bool fifo;  // otherwise a directory
  } cases[] = {
      {"a pipe for the key", key_file(), true},
      {"a directory for the key", key_file(), false},
      {"a pipe for the revocations", revoked_file(), true},
      {"a directory for the revocations", revoked_file(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(c.path);
    ASSERT_EQ(c.fifo ? ::mkfifo(c.path.c_str(), 0600) : ::mkdir(c.path.c_str(), 0700), 0);
    auto opened = open_within(10s);
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().find(c.path), std::string::npos) << opened.error();
    std::filesystem::remove(c.path);
    write_text(key_file(), key);
    write_text(revoked_file(), revoked);
    ::chmod(key_file().c_str(), 0600);
  }
  auto files = load_published(public_file());
  EXPECT_TRUE(files.ok()) << files.error();
  // A verifier reading the published keys does not wait on a pipe either.
  const std::string pipe = paths_.public_dir + "/public-keys.json.pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  auto from_pipe = std::async(std::launch::async, [&pipe] { return load_published(pipe); });
  if (from_pipe.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "reading the published keys did not end within 10 s";
    const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
  }
  EXPECT_FALSE(from_pipe.get().ok());
}

// A secret that others could read is made private again before it is used;
// one that belongs to another user is not used at all.
TEST_F(KeyFiles, TheSecretIsMadePrivateAndMustBeOurOwn) {
  auto first = open_keys(paths_, 600, kNow);
  ASSERT_TRUE(first.ok());
  for (const mode_t loose : {0644u, 0640u, 0604u, 0666u, 0700u}) {
    SCOPED_TRACE(loose);
    ASSERT_EQ(::chmod(key_file().c_str(), loose), 0);
    auto opened = open_keys(paths_, 600, kNow);
    ASSERT_TRUE(opened.ok()) << opened.error();
    EXPECT_EQ(opened.value().current.kid(), first.value().current.kid());
    EXPECT_EQ(mode_of(key_file()) & 077, 0u);
  }
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file away takes root";
  ASSERT_EQ(::chown(key_file().c_str(), 65534, 65534), 0);
  const std::string kept = read_text(key_file());
  auto refused = open_keys(paths_, 600, kNow);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().find("owned by another user"), std::string::npos) << refused.error();
  EXPECT_EQ(read_text(key_file()), kept);
}

// A link in place of the key directory, or a file in place of either
// directory, stops the start: the key is never written through it.
TEST_F(KeyFiles, ADirectoryThatIsNotOneStopsTheStart) {
  const std::string elsewhere = root_ + "/elsewhere";
  std::filesystem::create_directory(elsewhere);
  const struct {
    const char* what;
    std::string path;
    bool link;  // otherwise a file
  } cases[] = {
      {"a link for the key directory", paths_.key_dir, true},
      {"a file for the key directory", paths_.key_dir, false},
      {"a link for the public directory", paths_.public_dir, true},
      {"a file for the public directory", paths_.public_dir, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(paths_.key_dir);
    std::filesystem::remove_all(paths_.public_dir);
    if (c.link) {
      std::filesystem::create_directory_symlink(elsewhere, c.path);
    } else {
      write_text(c.path, "");
    }
    auto opened = open_keys(paths_, 600, kNow);
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().find("not a directory"), std::string::npos) << opened.error();
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
  }
  std::filesystem::remove_all(paths_.public_dir);
  std::filesystem::remove_all(root_ + "/state");
  write_text(root_ + "/state", "");  // the key directory's parent is a file
  auto opened = open_keys(paths_, 600, kNow);
  ASSERT_FALSE(opened.ok());
  EXPECT_NE(opened.error().find("cannot make"), std::string::npos) << opened.error();
}

// A rotation that was saved is what the next start reads: the new key signs,
// the old one is still published until its last token expires.
TEST_F(KeyFiles, ASavedRotationIsWhatTheNextStartReads) {
  auto opened = open_keys(paths_, 600, kNow);
  ASSERT_TRUE(opened.ok());
  KeyState state = std::move(opened).value();
  const std::string old_kid = state.current.kid();
  auto next = SigningKey::generate();
  ASSERT_TRUE(next.ok());
  rotate(state, next.value(), kNow + 10);
  ASSERT_TRUE(save_signing_key(paths_, signing_key_text(state)).ok());
  EXPECT_EQ(mode_of(key_file()), 0600u);

  auto restarted = open_keys(paths_, 600, kNow + 20);
  ASSERT_TRUE(restarted.ok()) << restarted.error();
  EXPECT_EQ(restarted.value().current.kid(), next.value().kid());
  ASSERT_EQ(restarted.value().previous.size(), 1u);
  EXPECT_EQ(restarted.value().previous[0].kid, old_kid);
  auto files = load_published(public_file());
  ASSERT_TRUE(files.ok()) << files.error();
  ASSERT_EQ(files.value().keys.size(), 2u);
  EXPECT_EQ(files.value().keys[0].kid, next.value().kid());
  EXPECT_EQ(files.value().keys[1].kid, old_kid);
}

// The public files as a copy on a target host may arrive: cut short,
// edited, of another key. A verifier refuses each with its reason and the
// file's name, rather than trust fewer or other keys, or revoke fewer
// approvals, than were published.
TEST_F(KeyFiles, PublishedFilesThatDoNotReadAreRefusedWithTheirReason) {
  auto opened = open_keys(paths_, 600, kNow);
  ASSERT_TRUE(opened.ok());
  const std::string kid = opened.value().current.kid();
  const std::string key = read_text(public_file());
  const std::string encoded = key.substr(key.find("\"publicKey\":\"") + 13, 43);
  const std::string entry = R"({"kid":")" + kid + R"(","publicKey":")" + encoded + "\"";
  const std::string revoked = read_text(revoked_file());
  const struct {
    const char* what;
    bool keys_file;  // otherwise revoked.json
    std::string text;
    std::string reason;
  } cases[] = {
      {"keys cut short", true, key.substr(0, key.size() / 2), "not JSON"},
      {"keys not UTF-8", true, "{\"keys\":[\"\xff\"]}", "not UTF-8"},
      {"keys beside another member", true, R"({"keys":[],"more":1})", "only an array \"keys\""},
      {"keys not a list", true, R"({"keys":{}})", "only an array \"keys\""},
      {"a key that is not an object", true, R"({"keys":[7]})", "not an object of kid"},
      {"a key with a member of its own", true, R"({"keys":[)" + entry + R"(,"x":1}]})",
       "not an object of kid"},
      {"a key without its kid", true, R"({"keys":[{"publicKey":")" + encoded + "\"}]}",
       "lacks its kid or publicKey"},
      {"a key of 31 bytes", true, R"({"keys":[{"kid":")" + kid + R"(","publicKey":"AAAA"}]})",
       "not 32 bytes of base64url"},
      {"a kid of another key", true,
       R"({"keys":[{"kid":"0000000000000000","publicKey":")" + encoded + "\"}]}",
       "is not its key's"},
      {"a retirement that is not a time", true, R"({"keys":[)" + entry + R"(,"retireAt":-5}]})",
       "retireAt is not Unix seconds"},
      {"revocations cut short", false, revoked.substr(0, revoked.size() - 3), "not JSON"},
      {"a revocation without its request", false, R"({"revoked":[{"exp":5}]})",
       "not an object of exp and requestId"},
      {"a revocation with a member of its own", false,
       R"({"revoked":[{"exp":5,"requestId":"1","why":""}]})", "not an object of exp and requestId"},
      {"a revocation whose expiry is text", false, R"({"revoked":[{"exp":"5","requestId":"1"}]})",
       "not an object of exp and requestId"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = c.keys_file ? public_file() : revoked_file();
    write_text(path, c.text);
    auto files = load_published(public_file());
    ASSERT_FALSE(files.ok());
    EXPECT_NE(files.error().find(path), std::string::npos) << files.error();
    EXPECT_NE(files.error().find(c.reason), std::string::npos) << files.error();
    write_text(public_file(), key);
    write_text(revoked_file(), revoked);
  }
  auto files = load_published(public_file());
  ASSERT_TRUE(files.ok()) << files.error();
  EXPECT_EQ(files.value().keys.at(0).kid, kid);
}

}  // namespace
}  // namespace kelvane::token
