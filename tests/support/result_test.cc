#include "support/result.h"

#include <gtest/gtest.h>

#include <csignal>
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

#if GTEST_HAS_DEATH_TEST
// A coverage build's counts are written at exit, which an aborting child
// never reaches: such a child writes them as it aborts, so that the stops
// tested here are counted. Nothing happens in any other build.
extern "C" int __llvm_profile_write_file(void) __attribute__((weak));

void count_coverage_on_abort() {
  if (__llvm_profile_write_file == nullptr) return;
  struct sigaction on_abort {};
  on_abort.sa_handler = [](int) {
    __llvm_profile_write_file();
    ::signal(SIGABRT, SIG_DFL);
    ::raise(SIGABRT);
  };
  ::sigaction(SIGABRT, &on_abort, nullptr);
}

// Reading the state a result does not hold stops the program at once, in
// every build, instead of reading bytes that are not there.
TEST(ResultDeathTest, TheOtherStateIsCaughtInEveryBuild) {
  count_coverage_on_abort();
  EXPECT_DEATH((void)half(3).value(), "internal error: value\\(\\) of a Result holding an error");
  EXPECT_DEATH((void)half(4).error(), "internal error: error\\(\\) of a Result holding a value");
  const auto odd = half(3);
  EXPECT_DEATH((void)odd.value(), "holding an error");
  EXPECT_DEATH((void)std::move(half(3)).value(), "holding an error");
  using Status = Result<void, int>;
  EXPECT_DEATH((void)Status().error(), "internal error: error\\(\\) of a Result holding no error");
  const Status done;
  EXPECT_DEATH((void)done.error(), "holding no error");
}
#endif

// KOA_TRY passes the error up unchanged and the value on; the expression is
// evaluated once.
Result<int, std::string> quarter(int n, int& calls) {
  ++calls;
  KOA_TRY(h, half(n));
  KOA_TRY(q, half(h));
  return q;
}

Result<void, std::string> even(int n) {
  KOA_TRY_VOID(half(n));
  return {};
}

TEST(Result, TryPassesTheErrorUp) {
  int calls = 0;
  EXPECT_EQ(quarter(8, calls).value(), 2);
  EXPECT_EQ(quarter(6, calls).error(), "odd");
  EXPECT_EQ(quarter(5, calls).error(), "odd");
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(even(2).ok());
  EXPECT_EQ(even(1).error(), "odd");
}

}  // namespace
}  // namespace kelvane
