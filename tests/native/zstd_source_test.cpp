// What only zstd has (the rest is in encoding_test.cpp): frame headers,
// skippable frames, and where a file may end.
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
const Codec kZstd{Encoding::kZstd};

// A frame made by hand: header descriptor `descriptor`, then `rest` (a window
// descriptor, a dictionary id, ...), then one empty last block.
std::string bare_frame(char descriptor, const std::string& rest) {
  return "\x28\xb5\x2f\xfd" + (descriptor + rest) + std::string("\x01\x00\x00", 3);
}

std::string with_byte(std::string data, std::size_t at, char byte) {
  data[at] = byte;
  return data;
}

TEST(ZstdSource, FrameHeadersAndBlocks) {
  const std::string good = zstd_frame(sample_text(400000));
  const std::string tiny = zstd_frame("line\n");  // single segment: a one-byte content size at 5
  const std::string unsized = zstd_frame(sample_text(400000), {3, false, false});
  const std::string resized = with_byte(tiny, 5, static_cast<char>(tiny[5] + 1));
  const struct {
    std::string zst, error;
  } cases[] = {
      // A window as large as a decoder keeps (128 MiB), declared by the header.
      {bare_frame('\0', "\x88"), ""},
      {"\x27\xb5\x2f\xfd" + good.substr(4), kHeader},  // an older format's magic
      {bare_frame('\x08', "\x88"), kHeader},           // a reserved bit
      {good + bare_frame('\x08', "\x88"), kHeader},
      {bare_frame('\x01', "\x88\x07"), kUnsupported},  // a dictionary
      {bare_frame('\0', "\x90"), kUnsupported},        // a 256 MiB window
      {resized, kCorrupt},                             // the content size
      {good + resized, kCorrupt},
      {bare_frame('\x20', "\x21"), kCorrupt},  // 33 bytes, says the header; the block is empty
      {with_byte(tiny, tiny.size() - 6, static_cast<char>(~tiny[tiny.size() - 6])), kCorrupt},
      {with_byte(unsized, unsized.size() / 2, static_cast<char>(~unsized[unsized.size() / 2])), kCorrupt},
      {unsized.substr(0, unsized.size() - 1), kEnd},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kZstd(c.zst).error, c.error) << testing::PrintToString(c.zst.substr(0, 12));
    EXPECT_EQ(kZstd(c.zst, 7, 1).error, c.error) << testing::PrintToString(c.zst.substr(0, 12));
  }
}

TEST(ZstdSource, SkippableFramesArePassedOver) {
  const std::string a = sample_text(250000, 1);
  const std::string b = sample_text(70000, 2);
  const std::string file = skippable_frame("meta") + zstd_frame(a) + skippable_frame("", 15) + zstd_frame(b) +
                           skippable_frame(std::string(70000, 'x'));
  for (std::size_t out_chunk : {7ul, 1ul << 20}) {
    Decoded d = kZstd(file, out_chunk, 4093);
    EXPECT_EQ(d.error, "");
    EXPECT_TRUE(d.data == a + b) << out_chunk << " " << d.data.size();
  }
  EXPECT_EQ(kZstd(skippable_frame("only")).error + kZstd(skippable_frame("only")).data, "");
  // A skippable magic the input stops inside is junk; a skippable frame cut
  // short is not, and a read error in one is passed on.
  Decoded d = kZstd(zstd_frame(a) + "\x5f\x2a\x4d", 65536, 3);
  EXPECT_TRUE(d.error.empty() && d.data == a);
  for (const std::string& cut : {std::string("\x50\x2a\x4d\x18\x05\x00", 6), skippable_frame("12345").substr(0, 11),
                                 zstd_frame(a) + skippable_frame("12345").substr(0, 10)}) {
    EXPECT_EQ(kZstd(cut).error, kEnd) << cut.size();
  }
  EXPECT_EQ(kZstd(zstd_frame(b) + skippable_frame("meta"), 1 << 20, 1000, zstd_frame(b).size() + 9).error,
            "Input/output error (os error 5)");
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
    Decoded d = kZstd(file.substr(0, cut), 64, 5);
    EXPECT_EQ(d.error, expected_error) << cut;
    if (expected_error.empty()) {
      EXPECT_EQ(d.data, expected_data) << cut;
    } else {
      EXPECT_TRUE(text.starts_with(d.data)) << cut;
    }
  }
}

}  // namespace
}  // namespace marrowfin::io
