// Whether the tests run under AddressSanitizer, whose allocator reports
// impossible sizes instead of failing them and which brings its own
// operator new.
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

}  // namespace kelvane::testing
