#include "core/io/bzip2_source.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace marrowfin::io {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests\' helpers

const std::string kEnd = "unexpected end of file";
const std::string kHeader = "invalid bzip2 header";
const std::string kCorrupt = "corrupt bzip2 stream";

// Everything, read `out_chunk` bytes at a time from `in_chunk`-byte reads of
// a source that fails from offset `fail_at` on, decoded on `threads`.
Decoded decode(std::string bz, unsigned threads, std::size_t out_chunk = 65536,
               std::size_t in_chunk = 1 << 20, std::size_t fail_at = std::string::npos) {
  Bzip2Source source(std::make_unique<ChunkedSource>(std::move(bz), in_chunk, fail_at), threads);
  return drain(source, out_chunk);
}

// Decoded by the reading thread in one pass, or by 1 or 2 threads of their own.
class Bzip2SourceTest : public testing::TestWithParam<unsigned> {
 protected:
  Decoded run(std::string bz, std::size_t out_chunk = 65536, std::size_t in_chunk = 1 << 20,
              std::size_t fail_at = std::string::npos) {
    return decode(std::move(bz), GetParam(), out_chunk, in_chunk, fail_at);
  }
};

// `data` with bit `bit` (counted from the first byte's high bit) flipped.
std::string flip(std::string data, std::size_t bit) {
  data[bit / 8] = static_cast<char>(data[bit / 8] ^ (0x80 >> (bit % 8)));
  return data;
}

TEST_P(Bzip2SourceTest, DecodesWhateverTheBufferSizesAndBlockSizes) {
  std::string text = sample_text(250000);
  for (int level : {1, 9}) {  // three blocks, or one
    std::string bz = bzip2_stream(text, level);
    const std::pair<std::size_t, std::size_t> sizes[] = {
        {7, 1 << 20}, {1000, 1}, {32768, 777}, {1 << 20, 1 << 20}};
    for (auto [out_chunk, in_chunk] : sizes) {
      Decoded d = run(bz, out_chunk, in_chunk);
      EXPECT_EQ(d.error, "") << level << " " << out_chunk << " " << in_chunk;
      EXPECT_TRUE(d.data == text) << level << " " << out_chunk << " " << in_chunk;
    }
  }
  EXPECT_EQ(run(bzip2_stream("")).error, "");
}

TEST_P(Bzip2SourceTest, EveryStreamIsDecodedAndPaddingOrJunkAfterOneIsIgnored) {
  std::string a = sample_text(250000, 1);
  std::string b = sample_text(70000, 2);
  std::string ab = bzip2_stream(a, 1) + bzip2_stream(b, 5);
  for (std::size_t out_chunk : {7ul, 1ul << 20}) {
    EXPECT_TRUE(run(ab, out_chunk).data == a + b) << out_chunk;
  }
  EXPECT_TRUE(run(bzip2_stream(a) + std::string(1000, '\0') + bzip2_stream(b)).data == a + b);
  EXPECT_EQ(run(bzip2_stream("") + bzip2_stream("x\n")).data, "x\n");
  for (std::string tail : {std::string(10, '\0'), std::string("junk"), std::string("B"),
                           std::string("BZ"), std::string("BZx rest"), std::string("\0\0B", 3),
                           std::string("x").append(bzip2_stream(b))}) {  // a stream after junk is junk too
    Decoded d = run(bzip2_stream(a) + tail);
    EXPECT_EQ(d.error, "") << tail.substr(0, 8);
    EXPECT_TRUE(d.data == a) << tail.substr(0, 8);
  }
}

TEST_P(Bzip2SourceTest, Failures) {
  std::string text = sample_text(250000);
  std::string good = bzip2_stream(text, 1);  // three blocks
  std::string tiny = bzip2_stream("line\n");
  std::size_t bits = 8 * good.size();
  const struct {
    std::string bz, error;
  } cases[] = {
      {"", kEnd},
      {"B", kEnd},
      {"BZh", kEnd},
      {"BZh9", kEnd},
      {"plain text\n", kHeader},
      {"BZ0" + good.substr(3), kHeader},  // the first format, which libbz2 never read
      {"BZh0" + good.substr(4), kHeader},
      {"\x1f\x8b\x08", kHeader},
      // The first block's CRC (byte-aligned after the header and block magic),
      // the last byte of the stream CRC, a bit of the first block's data and
      // of the end-of-stream magic.
      {flip(good, 80), kCorrupt},
      {flip(good, bits - 16), kCorrupt},
      {flip(good, 300), kCorrupt},
      {flip(tiny, 8 * tiny.size() - 90), kCorrupt},
      // A block whose size claims more than the header's level allows.
      {"BZh1" + bzip2_stream(text, 9).substr(4), kCorrupt},
      // Cut anywhere, the end-of-stream marker included.
      {good.substr(0, good.size() / 2), kEnd},
      {good.substr(0, good.size() - 1), kEnd},
      {good.substr(0, good.size() - 10), kEnd},
      {tiny.substr(0, 20), kEnd},
      // A later stream fails like the first one would.
      {good + "BZh", kEnd},
      {good + "BZh0", kHeader},
      {good + "BZhx", kHeader},
      {good + good.substr(0, good.size() - 3), kEnd},
      {good + flip(good, 80), kCorrupt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.bz).error, c.error) << testing::PrintToString(c.bz.substr(0, 12));
  }
}

TEST_P(Bzip2SourceTest, DataBeforeAFailureComesFirstAndReadErrorsPassThrough) {
  std::string text = sample_text(250000);
  std::string good = bzip2_stream(text, 1);
  // The damage is in the last block: the others come out whole.
  Decoded d = run(flip(good, 8 * good.size() - 16), 1 << 20);
  EXPECT_EQ(d.error, kCorrupt);
  EXPECT_TRUE(d.data.size() >= 200000 && text.starts_with(d.data)) << d.data.size();
  // A read error takes the place of the end of the file, wherever it is.
  const std::string kIo = "Input/output error (os error 5)";
  EXPECT_EQ(run(good, 1 << 20, 1000, 100).error, kIo);
  d = run(good + good, 1 << 20, 1000, good.size() + 2);
  EXPECT_EQ(d.error, kIo);
  EXPECT_TRUE(d.data == text);
  d = run(good, 1 << 20, 1000, good.size());
  EXPECT_EQ(d.error, kIo);
  EXPECT_TRUE(d.data == text);
  EXPECT_EQ(run(good + "junk", 1 << 20, 1000, good.size() + 4).error, "");
}

// Side by side, only checked blocks come out; the rest is decoded in one pass
// as if nothing had come before, so the two agree on every failure.
TEST(Bzip2Source, BlocksSideBySideAgreeWithOnePass) {
  std::string text = sample_text(700000, 3);
  std::string good = bzip2_stream(text, 1);  // seven blocks
  std::size_t bits = 8 * good.size();
  // One stream per block, as parallel compressors write them.
  std::string streams;
  for (std::size_t at = 0; at < text.size(); at += 100000) {
    streams += bzip2_stream(text.substr(at, 100000), 1);
  }
  std::string second = bzip2_stream(text.substr(0, 100000), 1);
  std::vector<std::string> files = {
      good,
      good + good,
      bzip2_stream("") + good + std::string(9, '\0') + bzip2_stream(""),
      good.substr(0, good.size() / 2),
      good.substr(0, 4000),
      streams,
      streams + "junk",
      streams.substr(0, streams.size() - 3),
      second + flip(second, 90) + second,
      second + "BZh0" + second,
      second + std::string(5, '\0') + "BZh"};
  for (std::size_t bit : {80ul, 2000ul, bits / 2, bits - 100, bits - 20}) {
    files.push_back(flip(good, bit));
  }
  // A block marker where the data of a block goes on.
  std::string marked = good;
  marked.replace(good.size() / 3, 6, "\x31\x41\x59\x26\x53\x59");
  files.push_back(marked);
  for (const std::string& file : files) {
    Decoded one = decode(file, 0, 50000);
    for (unsigned threads : {1u, 3u}) {
      Decoded side = decode(file, threads, 50000);
      EXPECT_EQ(side.error, one.error) << threads;
      EXPECT_TRUE(side.data == one.data)
          << threads << " " << side.data.size() << " " << one.data.size();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, Bzip2SourceTest, testing::Values(0u, 1u, 2u),
                         [](const testing::TestParamInfo<unsigned>& param) {
                           return std::to_string(param.param) + "_threads";
                         });

}  // namespace
}  // namespace marrowfin::io
