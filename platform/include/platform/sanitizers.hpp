// sanitizers.hpp - whether this build runs under AddressSanitizer.
//
// Storage the host keeps for reuse (freed pool blocks, a queued request's
// record) goes back to the heap under AddressSanitizer instead, so that a use
// after the free is found there.
#pragma once

namespace platform {

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

}  // namespace platform
