#include "core/io/bzip2_blocks.hpp"

#include <algorithm>
#include <array>

namespace marrowfin::io::bzip2 {
namespace {

constexpr std::uint64_t kMask48 = (std::uint64_t{1} << kMarkerBits) - 1;

// A marker that starts at bit `shift` of byte i fixes all of byte i + 1:
// bits 8 - shift to 15 - shift of the marker. Per value of that byte, which
// (marker, shift) pairs it fits: bit shift for the block marker, bit
// 8 + shift for the end marker. Most bytes fit none, so most positions are
// passed over after one look-up.
constexpr std::array<std::uint16_t, 256> kNextByte = [] {
  std::array<std::uint16_t, 256> table{};
  for (unsigned shift = 0; shift < 8; ++shift) {
    table[(kBlockMarker >> (32 + shift)) & 0xFF] |= static_cast<std::uint16_t>(1u << shift);
    table[(kEndMarker >> (32 + shift)) & 0xFF] |= static_cast<std::uint16_t>(1u << (8 + shift));
  }
  return table;
}();

std::uint8_t byte(std::string_view data, std::size_t i) noexcept {
  return static_cast<std::uint8_t>(data[i]);
}

// Bytes i to i + 6 as one number, zeros past the end of `data`.
std::uint64_t window56(std::string_view data, std::size_t i) noexcept {
  std::uint64_t w = 0;
  for (std::size_t k = 0; k < 7; ++k) {
    w = (w << 8) | (i + k < data.size() ? byte(data, i + k) : 0u);
  }
  return w;
}

}  // namespace

std::optional<Marker> find_marker(std::string_view data, std::uint64_t from) noexcept {
  std::uint64_t limit = 8 * std::uint64_t{data.size()};
  for (std::size_t i = from / 8; i + 1 < data.size(); ++i) {
    unsigned fits = kNextByte[byte(data, i + 1)];
    if (fits == 0) continue;
    std::uint64_t w = window56(data, i);
    for (unsigned shift = 0; shift < 8; ++shift) {
      if ((fits & (0x101u << shift)) == 0) continue;
      std::uint64_t bit = 8 * std::uint64_t{i} + shift;
      if (bit < from || bit + kMarkerBits > limit) continue;
      std::uint64_t seen = (w >> (8 - shift)) & kMask48;
      if ((fits & (1u << shift)) && seen == kBlockMarker) return Marker{bit, false};
      if ((fits & (0x100u << shift)) && seen == kEndMarker) return Marker{bit, true};
    }
  }
  return std::nullopt;
}

std::uint32_t bits_at(std::string_view data, std::uint64_t bit, unsigned count) noexcept {
  std::uint64_t value = 0;
  std::size_t first = bit / 8;
  for (std::size_t k = 0; k < 5; ++k) {
    value = (value << 8) | (first + k < data.size() ? byte(data, first + k) : 0u);
  }
  // 40 bits from byte `first`; the wanted ones start `bit % 8` in.
  unsigned skip = static_cast<unsigned>(bit % 8);
  return static_cast<std::uint32_t>((value >> (40 - skip - count)) &
                                    ((std::uint64_t{1} << count) - 1));
}

std::optional<std::size_t> checked_end(std::string_view data, std::uint64_t marker,
                                       std::uint32_t crc) noexcept {
  std::uint64_t after = marker + kMarkerBits + kCrcBits;
  if (after > 8 * std::uint64_t{data.size()} || bits_at(data, marker + kMarkerBits, kCrcBits) != crc) {
    return std::nullopt;
  }
  return static_cast<std::size_t>((after + 7) / 8);
}

std::optional<bool> marker_at(std::string_view data, std::uint64_t bit) noexcept {
  if (bit + kMarkerBits > 8 * std::uint64_t{data.size()}) return std::nullopt;
  std::uint64_t value = (std::uint64_t{bits_at(data, bit, 24)} << 24) | bits_at(data, bit + 24, 24);
  if (value == kBlockMarker) return false;
  if (value == kEndMarker) return true;
  return std::nullopt;
}

}  // namespace marrowfin::io::bzip2
