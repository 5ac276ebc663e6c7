// The daemon refuses to start in a sandbox that cannot serve its
// configuration, and names the unit setting to change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "harness.h"

namespace kelvane::approvald_test {
namespace {

// `unshare -n`: a network namespace of its own with loopback alone, what
// the shipped unit's PrivateNetwork=yes gives the service.
bool can_unshare_network() {
  return ::geteuid() == 0 && std::system("unshare -n true >/dev/null 2>&1") == 0;
}

TEST(Sandbox, AFleetOverTcpWithoutNetworkIsRefusedNamingTheUnitSetting) {
  if (!can_unshare_network()) GTEST_SKIP() << "needs root and unshare -n";
  struct Case {
    const char* what;
    const char* conninfo;
    bool refused;  // by the check, before any connection is tried
  };
  const Case cases[] = {
      {"a host name over TCP", "host=db.internal dbname=approvals user=web1 password=x", true},
      {"an address over TCP", "hostaddr=192.0.2.7 dbname=approvals", true},
      {"a Unix socket", "host=/nonexistent dbname=approvals connect_timeout=1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DaemonProcess daemon("");
    const std::string connection = daemon.dir() + "/database.conn";
    std::ofstream(connection) << c.conninfo << "\n";
    ASSERT_EQ(::chmod(connection.c_str(), 0600), 0);
    daemon.write_config("store = \"postgresql\"\nconnection_file = \"" + connection +
                        "\"\nhost_name = \"web1\"\n");
    EXPECT_FALSE(daemon.start({"/usr/bin/unshare", "-n", "--"}));
    EXPECT_EQ(daemon.wait_exit(), 1);
    const std::string log = daemon.log();
    const bool named = log.find("PrivateNetwork=yes") != std::string::npos &&
                       log.find("enable the fleet drop-in") != std::string::npos;
    EXPECT_EQ(named, c.refused) << log;
  }
}

}  // namespace
}  // namespace kelvane::approvald_test
