#include "core/io/bzip2_blocks.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace marrowfin::io::bzip2 {
namespace {

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
  // Found where planted, and nowhere else: the random bytes hold none by chance.
  std::vector<Marker> found;
  for (auto marker = find_marker(data, 0); marker; marker = find_marker(data, marker->bit + 1)) found.push_back(*marker);
  ASSERT_EQ(found.size(), at.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].bit, at[i]);
    EXPECT_EQ(found[i].end, i % 2 == 1);
  }
  // A marker cut off by the end is none; the search starts where it is told.
  EXPECT_FALSE(find_marker(data.substr(0, 199), at.back()));
  EXPECT_EQ(find_marker(data, 62)->bit, 130u);
}

}  // namespace
}  // namespace marrowfin::io::bzip2
