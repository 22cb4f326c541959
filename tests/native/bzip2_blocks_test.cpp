#include "core/io/bzip2_blocks.hpp"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace marrowfin::io::bzip2 {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests\' helpers

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

TEST(Bzip2Blocks, EachBlockDecodesAloneAsAStreamOfItsOwn) {
  std::string text = sample_text(450000, 4);
  for (int level : {1, 2}) {
    std::string stream = bzip2_stream(text, level);
    std::vector<Marker> markers = all_markers(stream);
    ASSERT_GE(markers.size(), 3u);
    ASSERT_TRUE(markers.back().end);
    std::uint32_t crc = 0;
    std::string joined;
    for (std::size_t i = 0; i + 1 < markers.size(); ++i) {
      std::string one;
      one_block_stream(stream, markers[i].bit, markers[i + 1].bit, static_cast<char>('0' + level),
                       one);
      std::string out(200000 * static_cast<std::size_t>(level), '\0');
      auto size = static_cast<unsigned>(out.size());
      ASSERT_EQ(BZ2_bzBuffToBuffDecompress(out.data(), &size, one.data(),
                                           static_cast<unsigned>(one.size()), 0, 0),
                BZ_OK);
      joined.append(out.data(), size);
      crc = combine_crc(crc, bits_at(stream, markers[i].bit + kMarkerBits, kCrcBits));
    }
    EXPECT_TRUE(joined == text);
    EXPECT_EQ(crc, bits_at(stream, markers.back().bit + kMarkerBits, kCrcBits));
  }
}

}  // namespace
}  // namespace marrowfin::io::bzip2
