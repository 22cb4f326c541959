// What only gzip fails on (the rest is in encoding_test.cpp).
#include "core/io/gzip_source.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "test_support.hpp"

namespace marrowfin::io {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests' helpers

const std::string kHeader = "invalid gzip header";
const std::string kChecksum = "corrupt gzip stream does not have a matching checksum";
const std::string kDeflate = "corrupt deflate stream";
const std::string kTooLong = "gzip header field too long";

TEST(GzipSource, HeaderFieldsAndDeflateData) {
  const std::string text = "line one\nline two\n";
  const std::string good = gzip_member(text);
  const struct {
    std::string gz, error;
  } cases[] = {
      {std::string("\x1f\x8c\x08\0\0\0\0\0\0\x03", 10), kHeader},
      {std::string("\x1f\x8b\x07\0\0\0\0\0\0\x03", 10) + good.substr(10), kHeader},
      {good + "\x1f\x8b\x09", kHeader},
      {gzip_member(text, {.header_crc = true, .header_crc_delta = 1}), kChecksum},
      {gzip_member(text, {.size_delta = 1}), kChecksum},
      {gzip_member(text, {.name = std::string(65536, 'n')}), kTooLong},
      {gzip_member(text, {.comment = std::string(70000, 'c')}), kTooLong},
      // Block type 3 does not exist.
      {std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03\x07", 11) + std::string(20, '\xff'), kDeflate},
  };
  for (const Codec& codec : codecs_of(Encoding::kGzip)) {
    for (const auto& c : cases) {
      EXPECT_EQ(codec(c.gz).error, c.error) << codec.name() << " " << testing::PrintToString(c.gz.substr(0, 40));
    }
  }
}

// Damaged deflate data on which ISA-L 2.30 counts bytes past the end of its
// output space as written, when the failure falls at that end.
TEST(GzipSource, NoReadClaimsMoreThanItsSpace) {
  std::ifstream file(MARROWFIN_TEST_DATA "/isal_invalid_symbol_at_buffer_end.gz", std::ios::binary);
  std::string gz{std::istreambuf_iterator<char>(file), {}};
  ASSERT_EQ(gz.size(), 30438u);
  for (const Codec& codec : codecs_of(Encoding::kGzip)) {
    for (std::size_t out_chunk = 155'800; out_chunk < 156'200; ++out_chunk) {
      EXPECT_EQ(codec(gz, out_chunk).error, kDeflate) << codec.name() << " " << out_chunk;
    }
  }
}

}  // namespace
}  // namespace marrowfin::io
