// The connection file may hold a password: only a file of the service's own
// that nobody else may read is used.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fleet/connection.h"
#include "fleet/connection_file.h"
#include "testing/service.h"

namespace kelvane::fleet {
namespace {

struct FileCase {
  const char* name;
  std::string_view text;
  mode_t mode;
  bool as_link;
  bool as_dir;
  const char* result;  // the connection string, or part of the error
  bool ok;
};

TEST(ConnectionFile, OnlyAPrivateRegularFileOfOurOwnIsRead) {
  const FileCase cases[] = {
      {"private", "host=/run/db dbname=fleet\n", 0600, false, false, "host=/run/db dbname=fleet",
       true},
      {"read only", "  dbname=fleet  \n\n", 0400, false, false, "dbname=fleet", true},
      {"group readable", "dbname=fleet", 0640, false, false, "group or others", false},
      {"world readable", "dbname=fleet", 0644, false, false, "group or others", false},
      {"group writable", "dbname=fleet", 0620, false, false, "group or others", false},
      {"empty", " \n", 0600, false, false, "empty", false},
      {"nul byte", std::string_view("db\0x", 4), 0600, false, false, "NUL", false},
      {"symbolic link", "dbname=fleet", 0600, true, false, "Too many levels", false},
      {"directory", "", 0700, false, true, "", false},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string file = dir.file("connection");
    std::string path = file;
    if (c.as_dir) {
      ASSERT_EQ(::mkdir(file.c_str(), c.mode), 0);
    } else {
      testing::write_file(file, c.text);
      ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
    }
    if (c.as_link) {
      path = dir.file("link");
      ASSERT_EQ(::symlink(file.c_str(), path.c_str()), 0);
    }
    auto read = read_connection_file(path);
    ASSERT_EQ(read.ok(), c.ok) << (read.ok() ? read.value() : read.error());
    if (c.ok) {
      EXPECT_EQ(read.value(), c.result);
    } else {
      EXPECT_NE(read.error().find(path), std::string::npos) << read.error();
      EXPECT_NE(read.error().find(c.result), std::string::npos) << read.error();
    }
  }
}

TEST(ConnectionFile, AFileOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  testing::TempDir dir;
  const std::string file = dir.file("connection");
  testing::write_file(file, "dbname=fleet");
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  auto read = read_connection_file(file);
  ASSERT_FALSE(read.ok());
  EXPECT_NE(read.error().find("owned by uid 65534"), std::string::npos) << read.error();
}

TEST(ConnectTimeout, IsAlwaysBoundedAndNeverForever) {
  const struct {
    const char* conninfo;
    int timeout;
  } cases[] = {
      {"dbname=fleet", kDefaultConnectTimeout},
      {"dbname=fleet connect_timeout=2", 2},
      {"dbname=fleet connect_timeout=0", kDefaultConnectTimeout},  // libpq: wait for ever
      {"dbname=fleet connect_timeout=3600", kMaxConnectTimeout},
      {"postgresql:///fleet?connect_timeout=7", 7},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(bounded_connect_timeout(c.conninfo, why), c.timeout) << c.conninfo << why;
  }
  std::string why;
  EXPECT_EQ(bounded_connect_timeout("dbname='unterminated", why), std::nullopt);
  EXPECT_FALSE(why.empty());
}

}  // namespace
}  // namespace kelvane::fleet
