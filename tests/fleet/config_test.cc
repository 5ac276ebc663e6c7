// The fleet's configuration keys, and --migrate as the administrator runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "approvald/harness.h"
#include "fleet/fleet_database.h"
#include "fleet/postgres_server.h"
#include "service/config.h"

namespace kelvane::fleet_test {
namespace {

TEST(FleetConfig, ReadsTheFleetKeysAndRefusesBadOnes) {
  auto good = service::parse_config(
      "store = \"postgresql\"\nconnection_file = \"/etc/kelvane-operator-approval/db\"\n"
      "host_name = \"web-1.example\"\n",
      "service.toml");
  ASSERT_TRUE(good.ok()) << good.error();
  EXPECT_EQ(good.value().store, "postgresql");
  EXPECT_EQ(good.value().connection_file, "/etc/kelvane-operator-approval/db");
  EXPECT_EQ(good.value().host_name, "web-1.example");
  EXPECT_EQ(service::host_name_of(good.value()), "web-1.example");

  auto defaults = service::parse_config("", "service.toml");
  ASSERT_TRUE(defaults.ok());
  EXPECT_EQ(defaults.value().store, "sqlite");
  char name[256] = {};
  ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(service::host_name_of(defaults.value()), name);

  const struct {
    const char* text;
    const char* error;
  } bad[] = {
      {"store = \"mysql\"", "service.toml:1:9: store must be \"sqlite\" or \"postgresql\""},
      {"store = 1", "store must be"},
      {"store = \"postgresql\"", "service.toml: store = \"postgresql\" needs connection_file"},
      {"connection_file = \"db.conf\"", "1:19: connection_file must be an absolute path"},
      {"host_name = \"\"", "host_name takes letters"},
      {"host_name = \"-a\"", "host_name takes letters"},
      {"host_name = \"a b\"", "host_name takes letters"},
      {"host_name = \"a'b\"", "host_name takes letters"},
      {"host_name = 7", "host_name takes letters"},
      {"hostname = \"a\"", "unknown key \"hostname\""},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.text);
    auto parsed = service::parse_config(c.text, "service.toml");
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().find(c.error), std::string::npos) << parsed.error();
  }
  EXPECT_FALSE(service::is_host_name(std::string(254, 'a')));
  EXPECT_TRUE(service::is_host_name(std::string(253, 'a')));
}

TEST(MigrateCommand, CreatesTheSchemaOnceAndRefusesAnUnsafeConnectionFile) {
  KOA_REQUIRE_POSTGRES(server);
  FleetDatabase db(*server, /*migrate=*/false);
  testing::TempDir dir;
  const std::string file = dir.file("admin.conn");
  testing::write_file(file, db.admin_conninfo() + "\n");
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  auto migrate = [&] {
    approvald_test::Process run({KOA_DAEMON_PATH, "--migrate", "--connection-file", file}, {});
    return run.wait();
  };
  const approvald_test::Finished first = migrate();
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, "kelvane-operator-approvald: created the schema, version 4\n");
  const approvald_test::Finished again = migrate();
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "kelvane-operator-approvald: the schema is at version 4: nothing to do\n");

  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  const approvald_test::Finished unsafe = migrate();
  EXPECT_EQ(unsafe.status, 1);
  EXPECT_NE(unsafe.err.find("group or others may read"), std::string::npos) << unsafe.err;

  approvald_test::Process misplaced({KOA_DAEMON_PATH, "--connection-file", file}, {});
  const approvald_test::Finished usage = misplaced.wait();
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("--connection-file goes with --migrate"), std::string::npos);
}

}  // namespace
}  // namespace kelvane::fleet_test
