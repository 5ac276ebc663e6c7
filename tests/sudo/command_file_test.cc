// Finding the file a command path leads to, every link on the way, whether
// anyone but root could change any of it, and reading the file for its
// SHA-256 without following a link or waiting on a FIFO.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sudo/command_check.h"
#include "sudo/command_file.h"
#include "testing/service.h"

namespace kelvane::sudo {
namespace {

using testing::TempDir;

bool same_links(const std::vector<SymbolicLink>& got, const std::vector<SymbolicLink>& want) {
  if (got.size() != want.size()) return false;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].link != want[i].link || got[i].target != want[i].target) return false;
  }
  return true;
}

TEST(SudoCommandFile, FollowsEveryLinkAndNamesWhatOthersCouldChange) {
  TempDir dir;  // under /tmp, which everyone may write to
  const std::string d = dir.path();
  ASSERT_EQ(::mkdir((d + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("b", (d + "/a").c_str()), 0);
  ASSERT_EQ(::symlink("/usr/bin/env", (d + "/b").c_str()), 0);
  ASSERT_EQ(::symlink("../b", (d + "/sub/up").c_str()), 0);
  ASSERT_EQ(::symlink("loop2", (d + "/loop1").c_str()), 0);
  ASSERT_EQ(::symlink("loop1", (d + "/loop2").c_str()), 0);
  struct stat usr_bin {};
  ASSERT_EQ(::lstat("/usr/bin", &usr_bin), 0);
  if (S_ISLNK(usr_bin.st_mode)) GTEST_SKIP() << "/usr/bin is a link here";

  const std::string tmp_writable = "the directory /tmp is writable by others (mode 1777)";
  const struct {
    std::string path;
    std::string resolved;
    std::vector<SymbolicLink> links;
    std::optional<std::string> changeable;
  } cases[] = {
      {"/usr/bin/env", "/usr/bin/env", {}, std::nullopt},
      {"/usr/./bin/../bin/env", "/usr/bin/env", {}, std::nullopt},
      // ".." at the root stays there, as the kernel has it.
      {"/../../usr/bin/env", "/usr/bin/env", {}, std::nullopt},
      {"/..", "/", {}, std::nullopt},
      {d + "/a", "/usr/bin/env", {{d + "/a", "b"}, {d + "/b", "/usr/bin/env"}}, tmp_writable},
      {d + "/sub/up",
       "/usr/bin/env",
       {{d + "/sub/up", "../b"}, {d + "/b", "/usr/bin/env"}},
       tmp_writable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    Result<CommandFile, std::string> file = examine_command_file(c.path);
    ASSERT_TRUE(file.ok()) << file.error();
    EXPECT_EQ(file.value().resolved, c.resolved);
    EXPECT_TRUE(same_links(file.value().links, c.links));
    EXPECT_EQ(file.value().changeable, c.changeable);
  }

  const struct {
    std::string path;
    std::string error;
  } refused[] = {
      {d + "/loop1", "cannot examine " + d + "/loop1 on the way to the command: " +
                         "Too many levels of symbolic links"},
      {d + "/missing", "cannot examine " + d +
                           "/missing on the way to the command: " + "No such file or directory"},
      {"/usr/bin/env/x", "cannot examine /usr/bin/env/x on the way to the command: " +
                             std::string("Not a directory")},
  };
  for (const auto& c : refused) {
    Result<CommandFile, std::string> file = examine_command_file(c.path);
    ASSERT_FALSE(file.ok()) << c.path;
    EXPECT_EQ(file.error(), c.error);
  }
}

// Links that lstat gives no size (those of /proc) are read whole all the
// same: /proc/self, then the process's root.
TEST(SudoCommandFile, ReadsALinkThatReportsNoSize) {
  struct stat self {};
  ASSERT_EQ(::lstat("/proc/self", &self), 0);
  if (self.st_size != 0) GTEST_SKIP() << "/proc/self has a size here";
  struct stat usr_bin {};
  ASSERT_EQ(::lstat("/usr/bin", &usr_bin), 0);
  if (S_ISLNK(usr_bin.st_mode)) GTEST_SKIP() << "/usr/bin is a link here";
  const std::string pid = std::to_string(::getpid());
  Result<CommandFile, std::string> file = examine_command_file("/proc/self/root/usr/bin/env");
  ASSERT_TRUE(file.ok()) << file.error();
  EXPECT_EQ(file.value().resolved, "/usr/bin/env");
  EXPECT_TRUE(
      same_links(file.value().links, {{"/proc/self", pid}, {"/proc/" + pid + "/root", "/"}}));
}

// Under a directory that only root can change, each way for someone else to
// change the command is named: a directory its group may write, a file
// owned by a user with no name.
TEST(SudoCommandFile, NamesAGroupWritableDirectoryAndAnOwnerWithoutAName) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the directories";
  struct stat run {};
  if (::lstat("/run", &run) != 0 || run.st_uid != 0 || (run.st_mode & 022) != 0)
    GTEST_SKIP() << "/run is not a directory only root can change";
  std::string base = "/run/kelvane-test-XXXXXX";
  ASSERT_NE(::mkdtemp(base.data()), nullptr);
  const struct Removed {
    std::string path;
    ~Removed() { std::filesystem::remove_all(path); }
  } removed{base};
  const std::string shared = base + "/shared";
  const std::string owned = base + "/owned";
  ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 0775), 0);
  testing::write_file(shared + "/tool", "#!/bin/sh\n");
  testing::write_file(owned, "#!/bin/sh\n");
  // Nobody has this uid: getpwuid finds no name for it.
  constexpr uid_t kNamelessUid = 3999999999u;
  ASSERT_EQ(::chown(owned.c_str(), kNamelessUid, 0), 0);

  const struct {
    std::string path;
    std::string changeable;
  } cases[] = {
      {shared + "/tool",
       "the directory " + shared + " is writable by its group, gid 0 (mode 0775)"},
      {owned, "the file " + owned + " is owned by uid 3999999999, not root"},
  };
  for (const auto& c : cases) {
    Result<CommandFile, std::string> file = examine_command_file(c.path);
    ASSERT_TRUE(file.ok()) << file.error();
    EXPECT_EQ(file.value().changeable, c.changeable);
  }
  EXPECT_EQ(owner_words(kNamelessUid), "uid 3999999999");
  EXPECT_EQ(owner_words(0), "root (uid 0)");
}

TEST(SudoCommandFile, HashesOnlyARegularFileAndNeverWaits) {
  TempDir dir;
  const std::string tool = dir.file("tool");
  testing::write_file(tool, "harmless\n");
  ASSERT_EQ(::chmod(tool.c_str(), 0754), 0);
  ASSERT_EQ(::symlink("tool", dir.file("link").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);

  Result<FileFacts, std::string> facts = hash_command_file(tool);
  ASSERT_TRUE(facts.ok()) << facts.error();
  // printf 'harmless\n' | sha256sum
  EXPECT_EQ(facts.value().sha256,
            "439cd8f06a0f19cd6611715e1d444948149a97ff166dfc80c780097eb4b76eb3");
  EXPECT_EQ(facts.value().owner, ::geteuid());
  EXPECT_EQ(mode_text(facts.value().mode), "0754");

  const struct {
    std::string path;
    std::string error;
  } refused[] = {
      {dir.file("link"), "cannot read " + dir.file("link") + ": Too many levels of symbolic links"},
      {dir.file("fifo"), "cannot read " + dir.file("fifo") + ": not a regular file"},
      {dir.path(), "cannot read " + dir.path() + ": not a regular file"},
  };
  for (const auto& c : refused) {
    Result<FileFacts, std::string> got = hash_command_file(c.path);
    ASSERT_FALSE(got.ok()) << c.path;
    EXPECT_EQ(got.error(), c.error);
  }
}

// A command others could change: refused, or under user_writable=ask put to
// the operator with the file as read; one that cannot be read (a FIFO) is
// refused even then, since the operator could not be told what it holds.
TEST(SudoCommandCheck, ACommandOthersCouldChangeIsRefusedUnlessAskedAndReadable) {
  TempDir dir;
  testing::write_file(dir.file("tool"), "harmless\n");
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const std::string could_change =
      "someone other than root could change what runs after the approval";
  const struct {
    std::string command;
    UserWritable policy;
    std::string error_ends;  // empty: asked
  } cases[] = {
      {dir.file("tool"), UserWritable::kRefuse,
       could_change + " (user_writable=ask in sudo.conf would ask the operator instead)"},
      {dir.file("fifo"), UserWritable::kAsk,
       could_change + ", and cannot read " + dir.file("fifo") + ": not a regular file"},
      {dir.file("tool"), UserWritable::kAsk, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    Operation operation;
    operation.command = c.command;
    operation.cwd = "/";
    Result<void, std::string> checked = check_command_file(operation, c.policy);
    if (!c.error_ends.empty()) {
      ASSERT_FALSE(checked.ok());
      EXPECT_TRUE(checked.error().ends_with(c.error_ends)) << checked.error();
      EXPECT_FALSE(operation.user_writable.has_value());
      continue;
    }
    ASSERT_TRUE(checked.ok()) << checked.error();
    ASSERT_TRUE(operation.user_writable.has_value());
    EXPECT_TRUE(operation.user_writable->warning.ends_with(could_change));
    // printf 'harmless\n' | sha256sum
    EXPECT_EQ(operation.user_writable->file.sha256,
              "439cd8f06a0f19cd6611715e1d444948149a97ff166dfc80c780097eb4b76eb3");
  }
}

}  // namespace
}  // namespace kelvane::sudo
