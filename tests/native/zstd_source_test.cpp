#include "core/io/zstd_source.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace marrowfin::io {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests' helpers

const std::string kEnd = "unexpected end of file";
const std::string kHeader = "invalid zstd header";
const std::string kUnsupported = "unsupported zstd frame";
const std::string kCorrupt = "corrupt zstd stream";
const std::string kMagic = "\x28\xb5\x2f\xfd";

// Everything, read `out_chunk` bytes at a time from `in_chunk`-byte reads of
// a source that fails from offset `fail_at` on.
Decoded decode(std::string zst, std::size_t out_chunk = 65536, std::size_t in_chunk = 1 << 20,
               std::size_t fail_at = std::string::npos) {
  ZstdSource source(std::make_unique<ChunkedSource>(std::move(zst), in_chunk, fail_at));
  return drain(source, out_chunk);
}

// A frame made by hand: header descriptor `descriptor`, then `rest` (a window
// descriptor, a dictionary id, ...), then one empty last block.
std::string bare_frame(char descriptor, const std::string& rest) {
  return kMagic + descriptor + rest + std::string("\x01\x00\x00", 3);
}

std::string with_byte(std::string data, std::size_t at, char byte) {
  data[at] = byte;
  return data;
}

TEST(ZstdSource, DecodesWhateverTheBufferSizesAndFrameOptions) {
  std::string text = sample_text(400000);  // four blocks at least
  for (FrameOptions options : {FrameOptions{}, FrameOptions{1, false, false}, FrameOptions{9, true, false}}) {
    std::string zst = zstd_frame(text, options);
    const std::pair<std::size_t, std::size_t> sizes[] = {
        {7, 1 << 20}, {1000, 1}, {32768, 777}, {1 << 20, 1 << 20}};
    for (auto [out_chunk, in_chunk] : sizes) {
      Decoded d = decode(zst, out_chunk, in_chunk);
      EXPECT_EQ(d.error, "") << options.level << " " << out_chunk << " " << in_chunk;
      EXPECT_TRUE(d.data == text) << options.level << " " << out_chunk << " " << in_chunk;
    }
  }
  EXPECT_EQ(decode(zstd_frame("")).error, "");
  // A window as large as a decoder keeps (128 MiB), declared by the header.
  EXPECT_EQ(decode(bare_frame('\0', "\x88")).error, "");
}

TEST(ZstdSource, EveryFrameIsDecodedSkippableFramesPassedOverAndJunkAfterOneIgnored) {
  std::string a = sample_text(250000, 1);
  std::string b = sample_text(70000, 2);
  std::string fa = zstd_frame(a);
  std::string fb = zstd_frame(b, {1, false, false});
  const std::string files[] = {
      fa + fb,
      fa + zstd_frame("") + fb,
      skippable_frame("meta") + fa + skippable_frame("", 15) + fb + skippable_frame(std::string(70000, 'x')),
      fa + std::string(1000, '\0') + fb + std::string(3, '\0'),
  };
  for (const std::string& file : files) {
    for (std::size_t out_chunk : {7ul, 1ul << 20}) {
      Decoded d = decode(file, out_chunk, 4093);
      EXPECT_EQ(d.error, "");
      EXPECT_TRUE(d.data == a + b) << out_chunk << " " << d.data.size();
    }
  }
  EXPECT_EQ(decode(skippable_frame("only")).data, "");
  EXPECT_EQ(decode(skippable_frame("only")).error, "");
  // Anything after a frame that does not start one ends the file: a frame
  // after junk is junk too, and so is a magic the input stops inside.
  for (std::string tail : {std::string(10, '\0'), std::string("junk"), std::string("\x28"),
                           std::string("\x28\xb5\x2f"), std::string("\x5f\x2a\x4d"),
                           std::string("\x28\xb5\x2f\xfc rest"), std::string("\x27\xb5\x2f\xfd rest"),
                           std::string("\0\0\x28\xb5", 4), "x" + fb, bzip2_stream(b)}) {
    Decoded d = decode(fa + tail, 65536, 3);
    EXPECT_EQ(d.error, "") << testing::PrintToString(tail.substr(0, 8));
    EXPECT_TRUE(d.data == a) << testing::PrintToString(tail.substr(0, 8));
  }
}

TEST(ZstdSource, Failures) {
  std::string text = sample_text(400000);
  std::string good = zstd_frame(text);
  std::string tiny = zstd_frame("line\n");  // single segment: a one-byte content size at 5
  std::string unsized = zstd_frame(text, {3, false, false});
  const struct {
    std::string zst, error;
  } cases[] = {
      {"", kEnd},
      {"\x28", kEnd},
      {"\x28\xb5\x2f", kEnd},
      {kMagic, kEnd},
      {"\x50\x2a\x4d\x18\x05\x00", kEnd},                     // a skippable header cut
      {skippable_frame("12345").substr(0, 11), kEnd},         // its payload cut
      {"plain text\n", kHeader},
      {bzip2_stream("x\n"), kHeader},
      {"\x1f\x8b\x08", kHeader},
      {"\x27\xb5\x2f\xfd" + good.substr(4), kHeader},  // an older format's magic
      {"junk" + good, kHeader},
      {bare_frame('\x08', "\x88"), kHeader},                  // a reserved bit
      {bare_frame('\x01', "\x88\x07"), kUnsupported},         // a dictionary
      {bare_frame('\0', "\x90"), kUnsupported},               // a 256 MiB window
      {with_byte(tiny, 5, static_cast<char>(tiny[5] + 1)), kCorrupt},  // the content size
      {bare_frame('\x20', "\x21"), kCorrupt},  // 33 bytes, says the header; the block is empty
      {with_byte(good, good.size() - 1, static_cast<char>(~good.back())), kCorrupt},  // the checksum
      {with_byte(tiny, tiny.size() - 6, static_cast<char>(~tiny[tiny.size() - 6])), kCorrupt},
      {with_byte(unsized, unsized.size() / 2, static_cast<char>(~unsized[unsized.size() / 2])), kCorrupt},
      // Cut anywhere: in the header, a block, the checksum.
      {good.substr(0, 6), kEnd},
      {good.substr(0, good.size() / 2), kEnd},
      {good.substr(0, good.size() - 1), kEnd},
      {good.substr(0, good.size() - 4), kEnd},
      {unsized.substr(0, unsized.size() - 1), kEnd},
      // A later frame fails as the first one would.
      {good + kMagic, kEnd},
      {good + good.substr(0, good.size() - 3), kEnd},
      {good + skippable_frame("12345").substr(0, 10), kEnd},
      {good + bare_frame('\x08', "\x88"), kHeader},
      {good + with_byte(tiny, 5, static_cast<char>(tiny[5] + 1)), kCorrupt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode(c.zst).error, c.error) << testing::PrintToString(c.zst.substr(0, 12));
    EXPECT_EQ(decode(c.zst, 7, 1).error, c.error) << testing::PrintToString(c.zst.substr(0, 12));
  }
}

// Every cut of a small file: a clean end only at a frame's end (or a few
// bytes into the next magic, which then counts as junk), else the end of the
// file comes too early; what came out is always a prefix of the whole.
TEST(ZstdSource, EveryCutEndsCleanlyOnlyBetweenFrames) {
  std::string a = sample_text(2000, 4);
  std::string b = sample_text(900, 5);
  std::vector<std::string> parts = {zstd_frame(a), skippable_frame("meta"), zstd_frame(""),
                                    zstd_frame(b, {1, false, false})};
  std::string file;
  std::vector<std::pair<std::size_t, std::string>> ends;  // where a frame ends, what came before
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    file += parts[i];
    text += i == 0 ? a : i == 3 ? b : "";
    ends.emplace_back(file.size(), text);
  }
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    std::string expected_error = kEnd;
    std::string expected_data;
    for (const auto& [end, before] : ends) {
      if (cut >= end && cut <= end + 3) {
        expected_error.clear();
        expected_data = before;
      }
    }
    Decoded d = decode(file.substr(0, cut), 64, 5);
    EXPECT_EQ(d.error, expected_error) << cut;
    if (expected_error.empty()) {
      EXPECT_EQ(d.data, expected_data) << cut;
    } else {
      EXPECT_TRUE(text.starts_with(d.data)) << cut;
    }
  }
}

TEST(ZstdSource, DataBeforeAFailureComesFirstAndReadErrorsPassThrough) {
  std::string a = sample_text(200000, 6);
  std::string good = zstd_frame(a);
  std::string damaged = with_byte(good, good.size() - 1, static_cast<char>(~good.back()));
  Decoded d = decode(good + good + damaged);
  EXPECT_EQ(d.error, kCorrupt);
  EXPECT_TRUE(d.data.starts_with(a + a) && (a + a + a).starts_with(d.data)) << d.data.size();
  // A read error takes the place of the end of the file, wherever it is.
  const std::string kIo = "Input/output error (os error 5)";
  EXPECT_EQ(decode(good, 1 << 20, 1000, 100).error, kIo);
  EXPECT_EQ(decode(good, 1 << 20, 1000, 2).error, kIo);
  d = decode(good + good, 1 << 20, 1000, good.size() + 2);
  EXPECT_EQ(d.error, kIo);
  EXPECT_TRUE(d.data == a);
  d = decode(good, 1 << 20, 1000, good.size());
  EXPECT_EQ(d.error, kIo);
  EXPECT_TRUE(d.data == a);
  EXPECT_EQ(decode(good + skippable_frame("meta"), 1 << 20, 1000, good.size() + 9).error, kIo);
  EXPECT_EQ(decode(good + "junk", 1 << 20, 1000, good.size() + 4).error, "");
}

}  // namespace
}  // namespace marrowfin::io
