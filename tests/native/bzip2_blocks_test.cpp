#include "core/io/bzip2_blocks.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace marrowfin::io::bzip2 {
namespace {

// Every marker, one bit position after another.
std::vector<Marker> naive_markers(const std::string& data) {
  std::vector<Marker> found;
  for (std::uint64_t bit = 0; bit + kMarkerBits <= 8 * data.size(); ++bit) {
    std::uint64_t value =
        (std::uint64_t{bits_at(data, bit, 24)} << 24) | bits_at(data, bit + 24, 24);
    if (value == kBlockMarker || value == kEndMarker) found.push_back({bit, value == kEndMarker});
  }
  return found;
}

std::vector<Marker> all_markers(const std::string& data) {
  std::vector<Marker> found;
  for (std::uint64_t from = 0;;) {
    auto marker = find_marker(data, from);
    if (!marker) return found;
    found.push_back(*marker);
    from = marker->bit + 1;
  }
}

// `data` with `value`'s low `count` bits written from bit `bit` on.
void put_bits(std::string& data, std::uint64_t bit, std::uint64_t value, unsigned count) {
  for (unsigned i = 0; i < count; ++i, ++bit) {
    auto mask = static_cast<char>(0x80 >> (bit % 8));
    if ((value >> (count - 1 - i)) & 1) {
      data[bit / 8] = static_cast<char>(data[bit / 8] | mask);
    } else {
      data[bit / 8] = static_cast<char>(data[bit / 8] & ~mask);
    }
  }
}

TEST(Bzip2Blocks, MarkersAtEveryBitOffsetAndAtTheEdges) {
  std::mt19937 random(7);
  std::string data(200, '\0');
  for (char& c : data) c = static_cast<char>(random());
  // Planted at every shift, back to back, overlapping the last byte.
  std::vector<std::uint64_t> at = {0, 61, 130, 203, 276, 349, 422, 495, 8 * 200 - 48};
  for (std::size_t i = 0; i < at.size(); ++i) {
    put_bits(data, at[i], i % 2 ? kEndMarker : kBlockMarker, kMarkerBits);
  }
  std::vector<Marker> found = all_markers(data);
  ASSERT_EQ(found.size(), naive_markers(data).size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].bit, naive_markers(data)[i].bit);
    EXPECT_EQ(found[i].end, naive_markers(data)[i].end);
  }
  ASSERT_EQ(found.size(), at.size());  // the random bytes hold none by chance
  // A marker cut off by the end is none; the search starts where it is told.
  EXPECT_FALSE(find_marker(data.substr(0, 199), at.back()));
  EXPECT_EQ(find_marker(data, 62)->bit, 130u);
}

}  // namespace
}  // namespace marrowfin::io::bzip2
