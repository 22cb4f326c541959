// The block decoder against libbz2: the same bytes from every kind of block,
// and where it refuses one, libbz2's bytes and verdict.
#include "core/io/bzip2_decoder.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/io/bzip2_blocks.hpp"
#include "core/io/bzip2_source.hpp"
#include "test_support.hpp"

// libbz2's table for blocks of the randomised kind, which it exports.
extern "C" int BZ2_rNums[512];

namespace marrowfin::io {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests' helpers

Decoded decode(const std::string& file, unsigned threads, bool libbz2_only = false,
               std::size_t out_chunk = 65536) {
  Bzip2Source source(std::make_unique<MemorySource>(file), threads, 0, libbz2_only);
  return drain(source, out_chunk);
}

// The blocks of one stream, each decoded alone by the block decoder; a
// failure if it refused one. And each block's start as peek() hands it out,
// for limits across runs and past the block's end: what the whole block
// decodes to begins with it, all that the limit's text expands to but its last
// four bytes, which may start a run; and the block completes, after a peek,
// as it decodes.
std::string blocks_alone(const std::string& stream, const char* name) {
  bzip2::BlockDecoder decoder;
  util::PageBuffer out;
  std::uint64_t bit = 32;
  std::uint32_t crc = 0;
  while (bzip2::marker_at(stream, bit) == false) {
    const std::size_t before = out.size();
    bzip2::BlockDecoder::Block block = decoder.decode(stream, bit, stream[3], out);
    if (!block.ok) return "refused at bit " + std::to_string(bit);
    const std::string_view whole = out.view().substr(before);
    for (std::size_t limit : std::vector<std::size_t>{0, 1, 4, 5, 6, 999, 16384, 1 << 20}) {
      util::PageBuffer start, rest;
      if (!decoder.prepare(stream, bit, stream[3], start).ok) return "prepare refused at bit " + std::to_string(bit);
      decoder.peek(limit, start);
      EXPECT_TRUE(whole.starts_with(start.view())) << name << " " << limit;
      // Five bytes of text (a run of four and its count) make four or more.
      EXPECT_GE(5 * start.size() + 20, 4 * std::min(limit, whole.size())) << name << " " << limit;
      if (limit == 1 << 20) {
        EXPECT_LE(whole.size() - start.size(), 4u) << name;
      }
      if (!decoder.complete(rest)) return "complete refused at bit " + std::to_string(bit);
      EXPECT_TRUE(rest.view() == whole) << name << " " << limit;
    }
    crc = bzip2::combine_crc(crc, block.crc);
    bit = block.end;
  }
  EXPECT_EQ(bzip2::bits_at(stream, bit + bzip2::kMarkerBits, 32), crc);
  return std::string(out.view());
}

std::string random_bytes(std::size_t size, unsigned seed, bool skewed) {
  std::mt19937 random(seed);
  std::string text(size, '\0');
  for (char& c : text) {
    // Skewed: byte k about half as often as byte k - 1, so that the rare
    // bytes get codes of up to 20 bits.
    auto r = static_cast<std::uint32_t>(random());
    c = static_cast<char>(skewed ? static_cast<unsigned>(std::countr_zero(r | 0x80000000u)) * 8 + (r >> 29) : r);
  }
  return text;
}

// Runs of every length a block's run counts reach, of bytes far apart in the
// move-to-front list, then runs across 100 kB block bounds.
std::string runs() {
  std::string text;
  for (unsigned len = 1; len < 600; ++len) text.append(len, static_cast<char>(len * 37));
  for (unsigned len : {99'990u, 100'003u, 250'000u}) text.append(len, 'r').append("q");
  return text;
}

TEST(Bzip2Decoder, EveryKindOfBlockDecodesAsLibbz2DecodesIt) {
  const std::vector<std::pair<const char*, std::string>> texts = {
      {"lines", sample_text(250'000)},
      {"random", random_bytes(1'000'000, 1, false)},  // a whole block at level 9
      {"skewed", random_bytes(300'000, 2, true)},
      {"runs", runs()},
      {"one byte", "x"},
      {"nothing", ""},
  };
  for (const auto& [name, text] : texts) {
    for (int level : {1, 9}) {
      const std::string stream = bzip2_stream(text, level);
      EXPECT_TRUE(blocks_alone(stream, name) == text) << name << " " << level;
      for (const std::string& file : {stream, stream + stream}) {
        const Decoded reference = decode(file, 0, true);
        ASSERT_EQ(reference.error, "") << name;
        for (unsigned threads : {0u, 2u}) {
          Decoded fast = decode(file, threads, false, 4093);
          EXPECT_EQ(fast.error, "") << name << " " << level << " " << threads;
          EXPECT_TRUE(fast.data == reference.data) << name << " " << level << " " << threads;
        }
      }
    }
  }
}

// Damage anywhere, or an end anywhere: the block decoder refuses the block,
// reading nothing past the input (seen by ASan in an exact-size copy), and
// libbz2 decodes the stream again, its bytes handed out already dropped.
// Side by side, on any number of threads, only checked blocks come out.
TEST(Bzip2Decoder, DamagedOrCutBlocksGetLibbz2sBytesAndVerdict) {
  const std::string good = bzip2_stream(sample_text(350'000, 5), 1);  // four blocks
  const std::size_t bits = 8 * good.size();
  const std::string one = bzip2_stream(sample_text(100'000, 4), 1);  // one block
  std::mt19937 random(3);
  std::vector<std::string> files = {one + flip(one, 90) + one, one + "BZh0" + one,
                                    one + std::string(5, '\0') + "BZh",
                                    // A block marker where the data of a block goes on.
                                    std::string(good).replace(good.size() / 3, 6, "\x31\x41\x59\x26\x53\x59")};
  for (std::size_t bit : {80ul, 2000ul, bits / 2, bits - 100, bits - 20}) files.push_back(flip(good, bit));
  for (int i = 0; i < 60; ++i) files.push_back(flip(good, 32 + random() % (bits - 32)));
  for (std::size_t size : {10ul, 11ul, 20ul, 200ul, good.size() / 2, good.size() - 10}) {
    files.push_back(good.substr(0, size));
    auto exact = std::make_unique<char[]>(size);
    good.copy(exact.get(), size);
    util::PageBuffer out;
    bool first_whole = size > 1000;  // the first block ends before the cut
    EXPECT_EQ(bzip2::BlockDecoder().decode({exact.get(), size}, 32, '1', out).ok, first_whole) << size;
  }
  for (const std::string& file : files) {
    const Decoded reference = decode(file, 0, true, 50'000);
    for (unsigned threads : {0u, 1u, 2u, 3u}) {
      Decoded fast = decode(file, threads, false, 50'000);
      EXPECT_EQ(fast.error, reference.error) << file.size() << " " << threads;
      EXPECT_TRUE(fast.data == reference.data) << file.size() << " " << threads;
    }
  }
}

// Only bzip2 0.9.0 wrote blocks of the randomised kind: the block decoder
// leaves them to libbz2. Made here as that version did: the text with some
// bytes' low bit flipped (where the table says) is transformed, and the
// block says so; its CRCs are the text's.
TEST(Bzip2Decoder, ARandomisedBlockIsLeftToLibbz2) {
  std::mt19937 random(11);
  std::string text, stored;
  int to_go = 0, next = 0;
  while (text.size() < 50'000) {
    if (to_go == 0) {
      to_go = BZ2_rNums[next];
      next = (next + 1) % 512;
    }
    --to_go;
    char mask = to_go == 1 ? 1 : 0;
    for (;;) {
      auto c = static_cast<char>('a' + random() % 26);
      // No runs of four in either, so that neither has run counts.
      auto run = [&](const std::string& s, char d) {
        std::size_t n = s.size();
        return n >= 3 && s[n - 1] == d && s[n - 2] == d && s[n - 3] == d;
      };
      if (run(text, c) || run(stored, static_cast<char>(c ^ mask))) continue;
      text.push_back(c);
      stored.push_back(static_cast<char>(c ^ mask));
      break;
    }
  }
  std::string file = bzip2_stream(stored, 1);
  const std::uint32_t crc = bzip2::bits_at(bzip2_stream(text, 1), 80, 32);
  put_bits(file, 80, crc, 32);
  put_bits(file, 112, 1, 1);
  std::optional<bzip2::Marker> end = bzip2::find_marker(file, 113);
  ASSERT_TRUE(end && end->end);
  put_bits(file, end->bit + bzip2::kMarkerBits, crc, 32);

  for (unsigned threads : {0u, 2u}) {
    Decoded decoded = decode(file, threads);
    EXPECT_EQ(decoded.error, "");
    EXPECT_TRUE(decoded.data == text) << threads;
  }
}

// A file's reader takes the decoder the one before it left, whose pages are
// in already; two at once never share one.
TEST(Bzip2Decoder, TheNextReaderTakesWhatTheLastLeftAndNoTwoShareOne) {
  std::unique_ptr<bzip2::BlockDecoder> left = bzip2::BlockDecoder::take();
  const bzip2::BlockDecoder* kept = left.get();
  bzip2::BlockDecoder::keep(std::move(left));
  std::unique_ptr<bzip2::BlockDecoder> first = bzip2::BlockDecoder::take();
  std::unique_ptr<bzip2::BlockDecoder> second = bzip2::BlockDecoder::take();
  EXPECT_EQ(first.get(), kept);
  EXPECT_NE(second.get(), first.get());
}

}  // namespace
}  // namespace marrowfin::io
