// The scan for the end of a JSON string's plain run, shared by both parsers.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>

namespace marrowfin::json {

// The first '"', '\\' or control character (below 0x20) at or after `p`. The
// text ends in a NUL, so this stops there at the latest; the loads may read
// 15 bytes past it, which the lines' padding allows.
[[gnu::always_inline]] inline const char* string_stop(const char* p) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i below_space = _mm_set1_epi8(0x1F);
  for (;; p += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i special = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
        _mm_cmpeq_epi8(_mm_max_epu8(bytes, below_space), below_space));
    if (int mask = _mm_movemask_epi8(special); mask != 0) {
      return p + std::countr_zero(static_cast<unsigned>(mask));
    }
  }
#else
  while (*p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) ++p;
  return p;
#endif
}

}  // namespace marrowfin::json
