// What only bzip2 fails on (the rest is in encoding_test.cpp), and blocks
// decoded side by side agreeing with one pass.
#include "core/io/bzip2_source.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace marrowfin::io {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests' helpers

const std::string kEnd = "unexpected end of file";
const std::string kHeader = "invalid bzip2 header";
const std::string kCorrupt = "corrupt bzip2 stream";

TEST(Bzip2Source, HeadersBlocksAndTheEndOfStreamMarker) {
  const std::string text = sample_text(250000);
  const std::string good = bzip2_stream(text, 1);  // three blocks
  const std::string tiny = bzip2_stream("line\n");
  const struct {
    std::string bz, error;
  } cases[] = {
      {"BZh", kEnd},
      {"BZ0" + good.substr(3), kHeader},  // the first format, which libbz2 never read
      {"BZh0" + good.substr(4), kHeader},
      {good + "BZh0", kHeader},
      {good + "BZhx", kHeader},
      // The first block's CRC (byte-aligned after the header and block magic),
      // a bit of its data and of the end-of-stream magic.
      {flip(good, 80), kCorrupt},
      {flip(good, 300), kCorrupt},
      {flip(tiny, 8 * tiny.size() - 90), kCorrupt},
      {tiny.substr(0, 20), kEnd},
      // A block whose size claims more than the header's level allows.
      {"BZh1" + bzip2_stream(text, 9).substr(4), kCorrupt},
  };
  for (const Codec& codec : codecs_of(Encoding::kBzip2)) {
    for (const auto& c : cases) {
      EXPECT_EQ(codec(c.bz).error, c.error) << codec.name() << " " << testing::PrintToString(c.bz.substr(0, 12));
    }
  }
}

// Side by side, only checked blocks come out; the rest is decoded in one pass
// as if nothing had come before, so the two agree on every failure.
TEST(Bzip2Source, BlocksSideBySideAgreeWithOnePass) {
  const std::string good = bzip2_stream(sample_text(700000, 3), 1);  // seven blocks
  const std::size_t bits = 8 * good.size();
  const std::string second = bzip2_stream(sample_text(100000, 4), 1);
  std::vector<std::string> files = {second + flip(second, 90) + second, second + "BZh0" + second,
                                    second + std::string(5, '\0') + "BZh"};
  for (std::size_t bit : {80ul, 2000ul, bits / 2, bits - 100, bits - 20}) files.push_back(flip(good, bit));
  // A block marker where the data of a block goes on.
  files.push_back(std::string(good).replace(good.size() / 3, 6, "\x31\x41\x59\x26\x53\x59"));
  for (const std::string& file : files) {
    Decoded one = Codec{Encoding::kBzip2}(file, 50000);
    for (unsigned threads : {1u, 3u}) {
      Decoded side = Codec{Encoding::kBzip2, {}, threads}(file, 50000);
      EXPECT_EQ(side.error, one.error) << threads;
      EXPECT_TRUE(side.data == one.data) << threads << " " << side.data.size() << " " << one.data.size();
    }
  }
}

}  // namespace
}  // namespace marrowfin::io
