// Whether the tests run under AddressSanitizer, whose allocator reports
// impossible sizes instead of failing them and which brings its own
// operator new; and whether a process's resident memory means what it does
// in a plain build (the sanitizers' shadow memory and quarantine add to it).
#pragma once

namespace kelvane::testing {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#else
inline constexpr bool kThreadSanitizer = false;
#endif

inline constexpr bool kMemoryFiguresHold = !kAddressSanitizer && !kThreadSanitizer;

}  // namespace kelvane::testing
