// Which hosts of a connection string are reached over TCP: those the
// daemon's sandbox must let it reach.
#include "sandbox_check.h"

#include <gtest/gtest.h>

namespace kelvane::approvald {
namespace {

TEST(SandboxCheck, FindsTheHostsReachedOverTcp) {
  struct Case {
    const char* conninfo;
    std::vector<std::string> tcp;
  };
  const Case cases[] = {
      {"dbname=approvals", {}},
      {"host=/run/postgresql dbname=approvals", {}},
      {"host=@abstract", {}},
      {"host=db.internal user=web1 password=x", {"db.internal"}},
      {"host=/run/postgresql,db2.internal port=5432,5433", {"db2.internal"}},
      {"host=/run/postgresql hostaddr=192.0.2.7", {"192.0.2.7"}},
      {"postgresql://web1@db.internal:5432/approvals?sslmode=verify-full", {"db.internal"}},
      {"postgresql:///approvals?host=/run/postgresql", {}},
      {"host=localhost", {"localhost"}},
      // Unreadable: no hosts; the connection says what is wrong.
      {"host='unterminated", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tcp_hosts_of(c.conninfo), c.tcp) << c.conninfo;
  }
}

TEST(SandboxCheck, AUnixSocketNeedsNoNetwork) {
  EXPECT_TRUE(check_fleet_reachable("host=/run/postgresql dbname=approvals").ok());
}

}  // namespace
}  // namespace kelvane::approvald
