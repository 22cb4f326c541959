// A hint to fetch memory that will be read soon.
#pragma once

namespace marrowfin::util {

// Asks for the cache line at `address`. An asm statement, because g++ 12
// judges a small function holding only __builtin_prefetch free of effects
// and drops every call of it.
inline void prefetch(const void* address) noexcept {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 (%0)" : : "r"(address));
#elif defined(__aarch64__)
  asm volatile("prfm pldl1keep, [%0]" : : "r"(address));
#else
  __builtin_prefetch(address);
#endif
}

}  // namespace marrowfin::util
