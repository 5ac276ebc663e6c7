#include "support/result.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kelvane {
namespace {

Result<int, std::string> half(int n) {
  if (n % 2 != 0) return fail(std::string("odd"));
  return n / 2;
}

TEST(Result, HoldsValueOrError) {
  auto ok = half(4);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value(), 2);
  auto bad = half(3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "odd");
}

TEST(Result, SameTypeForValueAndErrorStaysApart) {
  Result<std::string, std::string> value = std::string("v");
  Result<std::string, std::string> error = fail(std::string("e"));
  EXPECT_TRUE(value.ok());
  EXPECT_FALSE(error.ok());
  EXPECT_EQ(error.error(), "e");
}

TEST(Result, MoveOnlyPayloads) {
  Result<std::unique_ptr<int>, std::string> r = std::make_unique<int>(7);
  std::unique_ptr<int> p = std::move(r).value();
  EXPECT_EQ(*p, 7);
  Result<void, std::unique_ptr<int>> v = fail(std::make_unique<int>(9));
  EXPECT_FALSE(v.ok());
  EXPECT_EQ(*v.error(), 9);
  EXPECT_TRUE((Result<void, int>().ok()));
}

#if !defined(NDEBUG) && GTEST_HAS_DEATH_TEST
// Reading the state a result does not hold stops the program at once
// instead of reading bytes that are not there.
TEST(ResultDeathTest, TheOtherStateIsCaught) {
  EXPECT_DEATH((void)half(3).value(), "ok");
  EXPECT_DEATH((void)half(4).error(), "ok");
  using Status = Result<void, int>;
  EXPECT_DEATH((void)Status().error(), "ok");
}
#endif

}  // namespace
}  // namespace kelvane
