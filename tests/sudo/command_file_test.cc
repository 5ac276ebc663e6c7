// Finding the file a command path leads to, every link on the way, whether
// anyone but root could change any of it, and reading the file for its
// SHA-256 without following a link or waiting on a FIFO.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace kelvane::sudo
