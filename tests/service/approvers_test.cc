#include "service/approvers.h"

#include <gtest/gtest.h>

#include "service/approvers_cases.h"

namespace kelvane::service {
namespace {

TEST(NamesPerson, ByUserNameOrByGroupAndANamelessUidOnlyByGroup) {
  for (const service_test::NamedCase& c : service_test::named_cases()) {
    std::string approvers;
    for (const std::string& a : c.approvers) approvers += a + " ";
    EXPECT_EQ(names_person(c.approvers, c.user, c.groups), c.named)
        << "[" << approvers << "] user \"" << c.user << "\"";
  }
  EXPECT_FALSE(names_person({}, "alice", {"ops"}));  // nobody named, nobody in
}

}  // namespace
}  // namespace kelvane::service
