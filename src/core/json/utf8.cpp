#include "core/json/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace marrowfin::json {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// The first byte from `p` on that is not ASCII, or `end`. Stream text is
// nearly all ASCII: it is skipped 32 bytes at a time.
const unsigned char* skip_ascii(const unsigned char* p, const unsigned char* end) noexcept {
  while (end - p >= 32 &&
         ((load64(p) | load64(p + 8) | load64(p + 16) | load64(p + 24)) & kHighBits) == 0) {
    p += 32;
  }
  while (end - p >= 8 && (load64(p) & kHighBits) == 0) p += 8;
  while (p != end && *p < 0x80) ++p;
  return p;
}

}  // namespace

bool is_ascii(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  return skip_ascii(p, p + text.size()) == p + text.size();
}

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while ((p = skip_ascii(p, end)) != end) {
    unsigned char c = *p;
    std::ptrdiff_t left = end - p;
    if (c >= 0xC2 && c <= 0xDF) {
      if (left < 2 || !is_continuation(p[1])) return false;
      p += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (left < 3 || !is_continuation(p[1]) || !is_continuation(p[2])) return false;
      if (c == 0xE0 && p[1] < 0xA0) return false;  // overlong
      if (c == 0xED && p[1] > 0x9F) return false;  // surrogate
      p += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (left < 4 || !is_continuation(p[1]) || !is_continuation(p[2]) ||
          !is_continuation(p[3])) {
        return false;
      }
      if (c == 0xF0 && p[1] < 0x90) return false;  // overlong
      if (c == 0xF4 && p[1] > 0x8F) return false;  // above U+10FFFF
      p += 4;
    } else {
      return false;  // continuation byte, C0/C1 or F5..FF
    }
  }
  return true;
}

bool is_blank(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p != end) {
    unsigned char c = *p;
    std::ptrdiff_t left = end - p;
    if ((c >= 0x09 && c <= 0x0D) || c == 0x20) {
      p += 1;
    } else if (c == 0xC2 && left >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) {
      p += 2;  // U+0085, U+00A0
    } else if (c == 0xE1 && left >= 3 && p[1] == 0x9A && p[2] == 0x80) {
      p += 3;  // U+1680
    } else if (c == 0xE2 && left >= 3 && p[1] == 0x80 &&
               (p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF)) {
      p += 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
    } else if (c == 0xE2 && left >= 3 && p[1] == 0x81 && p[2] == 0x9F) {
      p += 3;  // U+205F
    } else if (c == 0xE3 && left >= 3 && p[1] == 0x80 && p[2] == 0x80) {
      p += 3;  // U+3000
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace marrowfin::json
