#include "testing/failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> g_allocation_limit = 0;  // 0: no limit
}

namespace kelvane::testing {

void set_allocation_limit(std::size_t limit) {
  g_allocation_limit.store(limit, std::memory_order_relaxed);
}

}  // namespace kelvane::testing

#if !defined(__SANITIZE_ADDRESS__) && !defined(__has_feature)
#define KOA_REPLACE_OPERATOR_NEW 1
#elif !defined(__SANITIZE_ADDRESS__)
#if !__has_feature(address_sanitizer)
#define KOA_REPLACE_OPERATOR_NEW 1
#endif
#endif

#ifdef KOA_REPLACE_OPERATOR_NEW
void* operator new(std::size_t size) {
  const std::size_t limit = g_allocation_limit.load(std::memory_order_relaxed);
  if (limit != 0 && size > limit) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// g++ -O2 inlines the pair and then takes this very malloc/free pairing for
// a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
