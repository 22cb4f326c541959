#include "core/io/gzip_source.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "test_support.hpp"

namespace marrowfin::io {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests\' helpers

const std::string kEnd = "unexpected end of file";
const std::string kHeader = "invalid gzip header";
const std::string kChecksum = "corrupt gzip stream does not have a matching checksum";
const std::string kDeflate = "corrupt deflate stream";
const std::string kTooLong = "gzip header field too long";

class GzipSourceTest : public testing::TestWithParam<Inflater::Backend> {
 protected:
  void SetUp() override {
    if (!Inflater::available(GetParam())) GTEST_SKIP() << "backend not built in";
  }
  // Everything, read `out_chunk` bytes at a time from `in_chunk`-byte reads
  // of a source that fails from offset `fail_at` on.
  Decoded run(std::string gz, std::size_t out_chunk = 65536, std::size_t in_chunk = 1 << 20,
              std::size_t fail_at = std::string::npos) {
    GzipSource source(std::make_unique<ChunkedSource>(std::move(gz), in_chunk, fail_at),
                      GetParam());
    return drain(source, out_chunk);
  }
};

TEST_P(GzipSourceTest, DecodesWhateverTheBufferSizesAndHeaderFields) {
  std::string text = sample_text(300000);
  std::string gz = gzip_member(text);
  const std::pair<std::size_t, std::size_t> sizes[] = {
      {1, 1 << 20}, {1000, 1}, {32768, 777}, {1 << 20, 1 << 20}};
  for (auto [out_chunk, in_chunk] : sizes) {
    Decoded d = run(gz, out_chunk, in_chunk);
    EXPECT_EQ(d.error, "") << out_chunk << " " << in_chunk;
    EXPECT_TRUE(d.data == text) << out_chunk << " " << in_chunk;
  }
  Decoded d = run(gzip_member("hello\n", {.extra = std::string(300, 'x'),
                                          .name = std::string(65535, 'n'),
                                          .comment = "c",
                                          .header_crc = true}));
  EXPECT_EQ(d.error + d.data, "hello\n");
}

TEST_P(GzipSourceTest, EveryMemberIsDecodedAndPaddingOrJunkAfterOneIsIgnored) {
  std::string a = sample_text(100000, 1);
  std::string b = sample_text(70000, 2);
  for (std::size_t in_chunk : {1ul, 5ul, 9ul, 1ul << 20}) {
    EXPECT_TRUE(run(gzip_member(a) + gzip_member(b), 65536, in_chunk).data == a + b) << in_chunk;
  }
  EXPECT_TRUE(run(gzip_member(a) + std::string(1000, '\0') + gzip_member(b)).data == a + b);
  EXPECT_EQ(run(gzip_member("") + gzip_member("x\n")).data, "x\n");
  for (std::string tail : {std::string(10, '\0'), std::string("junk"), std::string("\x1f"),
                           std::string("\x1f\x8a rest"), std::string("\0\0\x1f", 3),
                           std::string("x").append(gzip_member(b))}) {  // a member after junk is junk too
    Decoded d = run(gzip_member(a) + tail);
    EXPECT_EQ(d.error, "");
    EXPECT_TRUE(d.data == a);
  }
}

TEST_P(GzipSourceTest, Failures) {
  std::string text = "line one\nline two\n";
  std::string good = gzip_member(text);
  const struct {
    std::string gz, error;
  } cases[] = {
      {"", kEnd}, {"\x1f", kEnd}, {std::string("\x1f\x8b\x08\0\0\0", 6), kEnd},
      {"plain text\n", kHeader}, {std::string("\x1f\x8c\x08\0\0\0\0\0\0\x03", 10), kHeader},
      {std::string("\x1f\x8b\x07\0\0\0\0\0\0\x03", 10) + good.substr(10), kHeader},
      {gzip_member(text, {.header_crc = true, .header_crc_delta = 1}), kChecksum},
      {gzip_member(text, {.name = std::string(65536, 'n')}), kTooLong},
      {gzip_member(text, {.comment = std::string(70000, 'c')}), kTooLong},
      {gzip_member(text, {.crc_delta = 1}), kChecksum},
      {gzip_member(text, {.size_delta = 1}), kChecksum},
      {good.substr(0, good.size() - 1), kEnd}, {good.substr(0, good.size() - 8), kEnd},
      {good.substr(0, 14), kEnd},
      // Block type 3 does not exist.
      {std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03\x07", 11) + std::string(20, '\xff'), kDeflate},
      // A later member fails like the first one would.
      {good + "\x1f\x8b\x08", kEnd}, {good + "\x1f\x8b\x09", kHeader},
      {good + good.substr(0, good.size() - 3), kEnd},
      {good + gzip_member(text, {.crc_delta = 1}), kChecksum},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.gz).error, c.error) << testing::PrintToString(c.gz.substr(0, 40));
  }
}

TEST_P(GzipSourceTest, DataBeforeAFailureComesFirstAndReadErrorsPassThrough) {
  std::string text = sample_text(200000);
  Decoded d = run(gzip_member(text, {.crc_delta = 1}), 1 << 20);
  EXPECT_EQ(d.error, kChecksum);
  EXPECT_TRUE(d.data == text);
  EXPECT_EQ(run(gzip_member(text), 1 << 20, 1 << 20, 100).error, "Input/output error (os error 5)");
}

// Damaged deflate data on which ISA-L 2.30 counts bytes past the end of its
// output space as written, when the failure falls at that end.
TEST_P(GzipSourceTest, NoReadClaimsMoreThanItsSpace) {
  std::ifstream file(MARROWFIN_TEST_DATA "/isal_invalid_symbol_at_buffer_end.gz", std::ios::binary);
  std::string gz{std::istreambuf_iterator<char>(file), {}};
  ASSERT_EQ(gz.size(), 30438u);
  for (std::size_t out_chunk = 155'800; out_chunk < 156'200; ++out_chunk) {
    EXPECT_EQ(run(gz, out_chunk).error, kDeflate) << out_chunk;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, GzipSourceTest,
                         testing::Values(Inflater::Backend::kZlib, Inflater::Backend::kIsal),
                         [](const testing::TestParamInfo<Inflater::Backend>& param) {
                           return param.param == Inflater::Backend::kZlib ? "zlib" : "isal";
                         });

}  // namespace
}  // namespace marrowfin::io
