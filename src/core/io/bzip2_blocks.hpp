// The blocks of a bzip2 stream, found without decoding it: each starts with a
// 48-bit marker at any bit offset, and the stream ends with another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace marrowfin::io::bzip2 {

inline constexpr std::uint64_t kBlockMarker = 0x314159265359;  // the digits of pi
inline constexpr std::uint64_t kEndMarker = 0x177245385090;    // of sqrt(pi)
inline constexpr unsigned kMarkerBits = 48;
// A block's marker is followed by the CRC of its decoded bytes; the end
// marker by the stream's CRC, folded from the block CRCs (combine_crc).
inline constexpr unsigned kCrcBits = 32;

struct Marker {
  std::uint64_t bit;  // where it starts, counted from the first byte's high bit
  bool end;           // the end marker, else a block's
};

// The first marker that starts at bit `from` or later and lies wholly in
// `data`. Compressed data may hold a marker's pattern by chance, so a found
// block marker is only where a block may start.
[[nodiscard]] std::optional<Marker> find_marker(std::string_view data, std::uint64_t from) noexcept;

// `count` (at most 32) bits of `data` from bit `bit`, which must lie in it.
[[nodiscard]] std::uint32_t bits_at(std::string_view data, std::uint64_t bit,
                                    unsigned count) noexcept;

// The byte after a stream whose end marker is at bit `marker` of `data`, when
// the stream CRC that follows the marker is `crc`; nothing otherwise.
[[nodiscard]] std::optional<std::size_t> checked_end(std::string_view data, std::uint64_t marker,
                                                     std::uint32_t crc) noexcept;

// The stream CRC after one more block.
[[nodiscard]] constexpr std::uint32_t combine_crc(std::uint32_t stream, std::uint32_t block) {
  return ((stream << 1) | (stream >> 31)) ^ block;
}

// Whether the marker of a block (false) or the end marker (true) starts at
// bit `bit` of `data`; nothing when neither does.
[[nodiscard]] std::optional<bool> marker_at(std::string_view data, std::uint64_t bit) noexcept;

}  // namespace marrowfin::io::bzip2
