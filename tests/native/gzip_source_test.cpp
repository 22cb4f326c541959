#include "parse/gzip_source.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace marrowfin::parse {
namespace {

// Serves a string in reads of at most `chunk` bytes; fails with `error`
// once `fail_at` bytes were served.
class ChunkedSource final : public ByteSource {
 public:
  explicit ChunkedSource(std::string data, std::size_t chunk = 1 << 20,
                        std::size_t fail_at = std::string::npos)
      : data_(std::move(data)), chunk_(chunk), fail_at_(fail_at) {}
  ReadResult read(char* out, std::size_t capacity) override {
    if (pos_ >= fail_at_) return {0, "Input/output error (os error 5)"};
    std::size_t n = std::min({capacity, chunk_, data_.size() - pos_, fail_at_ - pos_});
    std::memcpy(out, data_.data() + pos_, n);
    pos_ += n;
    return {n, {}};
  }

 private:
  std::string data_;
  std::size_t chunk_;
  std::size_t fail_at_;
  std::size_t pos_ = 0;
};

// Raw DEFLATE of `text` at `level`.
std::string deflate_raw(const std::string& text, int level = 6) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string le32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

std::uint32_t crc_of(const std::string& s) {
  return static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

struct MemberOptions {
  std::string extra;    // FEXTRA payload
  std::string name;     // FNAME (without the NUL)
  std::string comment;  // FCOMMENT
  bool header_crc = false;
  int header_crc_delta = 0;
  std::uint32_t crc_delta = 0;
  std::uint32_t size_delta = 0;
};

std::string gzip_member(const std::string& text, const MemberOptions& o = {}) {
  int flags = (o.extra.empty() ? 0 : 4) | (o.name.empty() ? 0 : 8) |
              (o.comment.empty() ? 0 : 16) | (o.header_crc ? 2 : 0);
  std::string header = {'\x1f', '\x8b', '\x08', static_cast<char>(flags), 0, 0, 0, 0, 0, 3};
  if (!o.extra.empty()) {
    header += static_cast<char>(o.extra.size() & 0xFF);
    header += static_cast<char>(o.extra.size() >> 8);
    header += o.extra;
  }
  if (!o.name.empty()) header += o.name + '\0';
  if (!o.comment.empty()) header += o.comment + '\0';
  if (o.header_crc) {
    auto crc16 = static_cast<std::uint16_t>(crc_of(header) + static_cast<std::uint32_t>(o.header_crc_delta));
    header += static_cast<char>(crc16 & 0xFF);
    header += static_cast<char>(crc16 >> 8);
  }
  return header + deflate_raw(text) + le32(crc_of(text) + o.crc_delta) +
         le32(static_cast<std::uint32_t>(text.size()) + o.size_delta);
}

// Some text with long-distance matches.
std::string sample_text(std::size_t size, unsigned seed = 1) {
  std::string text;
  unsigned x = seed;
  while (text.size() < size) {
    x = x * 1103515245u + 12345u;
    text += "{\"pt\":" + std::to_string(x % 100000) + ",\"mc\":[{\"id\":\"1.23\"}]}\n";
  }
  text.resize(size);
  return text;
}

struct Decoded {
  std::string data;
  std::string error;
};

Decoded decode(std::string gz, Inflater::Backend backend, std::size_t out_chunk = 65536,
               std::size_t in_chunk = 1 << 20) {
  GzipSource source(std::make_unique<ChunkedSource>(std::move(gz), in_chunk), backend);
  Decoded out;
  std::string buffer(out_chunk, '\0');
  for (;;) {
    ReadResult r = source.read(buffer.data(), buffer.size());
    if (!r.error.empty()) {
      out.error = r.error;
      return out;
    }
    if (r.size == 0) return out;
    out.data.append(buffer.data(), r.size);
  }
}

class GzipSourceTest : public testing::TestWithParam<Inflater::Backend> {
 protected:
  void SetUp() override {
    if (!Inflater::available(GetParam())) GTEST_SKIP() << "backend not built in";
  }
  Decoded run(std::string gz, std::size_t out_chunk = 65536, std::size_t in_chunk = 1 << 20) {
    return decode(std::move(gz), GetParam(), out_chunk, in_chunk);
  }
};

TEST_P(GzipSourceTest, DecodesWhateverTheBufferSizes) {
  std::string text = sample_text(300000);
  std::string gz = gzip_member(text);
  for (std::size_t out_chunk : {1ul, 1000ul, 32768ul, 1ul << 20}) {
    for (std::size_t in_chunk : {1ul, 777ul, 1ul << 20}) {
      if (out_chunk == 1 && in_chunk == 1) continue;  // slow and adds nothing
      Decoded d = run(gz, out_chunk, in_chunk);
      EXPECT_EQ(d.error, "") << out_chunk << " " << in_chunk;
      EXPECT_TRUE(d.data == text) << out_chunk << " " << in_chunk;
    }
  }
  EXPECT_EQ(run(gzip_member("")).data, "");
}

TEST_P(GzipSourceTest, HeaderFieldsAreSkipped) {
  MemberOptions o;
  o.extra = std::string(300, 'x');
  o.name = std::string(65535, 'n');
  o.comment = "a comment";
  o.header_crc = true;
  Decoded d = run(gzip_member("hello\n", o));
  EXPECT_EQ(d.error, "");
  EXPECT_EQ(d.data, "hello\n");
}

TEST_P(GzipSourceTest, EveryMemberIsDecodedAndPaddingOrJunkAfterOneIsIgnored) {
  std::string a = sample_text(100000, 1);
  std::string b = sample_text(70000, 2);
  std::string two = gzip_member(a) + gzip_member(b);
  for (std::size_t in_chunk : {1ul, 5ul, 8ul, 9ul, 1ul << 20}) {
    EXPECT_TRUE(run(two, 65536, in_chunk).data == a + b) << in_chunk;
  }
  EXPECT_TRUE(run(gzip_member(a) + std::string(1000, '\0') + gzip_member(b)).data == a + b);
  const std::string tails[] = {std::string(10, '\0'), "junk", "\x1f", "\x1f\x8a rest",
                               std::string("\0\0\x1f", 3)};
  for (const std::string& tail : tails) {
    Decoded d = run(gzip_member(a) + tail);
    EXPECT_EQ(d.error, "");
    EXPECT_TRUE(d.data == a);
  }
  // Junk ends the stream even when a member follows it.
  EXPECT_TRUE(run(gzip_member(a) + "x" + gzip_member(b)).data == a);
}

TEST_P(GzipSourceTest, Failures) {
  std::string text = "line one\nline two\n";
  std::string good = gzip_member(text);
  std::string body = deflate_raw(text);
  auto with = [&](MemberOptions o) { return gzip_member(text, o); };
  MemberOptions bad_header_crc;
  bad_header_crc.header_crc = true;
  bad_header_crc.header_crc_delta = 1;
  MemberOptions long_name;
  long_name.name = std::string(65536, 'n');
  MemberOptions long_comment;
  long_comment.comment = std::string(70000, 'c');
  MemberOptions bad_crc;
  bad_crc.crc_delta = 1;
  MemberOptions bad_size;
  bad_size.size_delta = 1;
  const std::string kEnd = "unexpected end of file";
  const std::string kChecksum = "corrupt gzip stream does not have a matching checksum";
  const struct {
    std::string gz;
    std::string error;
  } cases[] = {
      {"", kEnd},
      {"\x1f", kEnd},
      {"\x1f\x8b\x08\0\0\0", kEnd},
      {"plain text\n", "invalid gzip header"},
      {"\x1f\x8c\x08\0\0\0\0\0\0\x03", "invalid gzip header"},
      {std::string("\x1f\x8b\x07\0\0\0\0\0\0\x03", 10) + body, "invalid gzip header"},
      {with(bad_header_crc), kChecksum},
      {with(long_name), "gzip header field too long"},
      {with(long_comment), "gzip header field too long"},
      {with(bad_crc), kChecksum},
      {with(bad_size), kChecksum},
      {good.substr(0, good.size() - 1), kEnd},
      {good.substr(0, good.size() - 8), kEnd},
      {good.substr(0, 14), kEnd},
      // Block type 3 does not exist.
      {std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03\x07", 11) + std::string(20, '\xff'),
       "corrupt deflate stream"},
      // A later member fails like the first one would.
      {good + "\x1f\x8b\x08", kEnd},
      {good + with(bad_crc), kChecksum},
      {good + good.substr(0, good.size() - 3), kEnd},
      {good + "\x1f\x8b\x09", "invalid gzip header"},
  };
  for (const auto& c : cases) {
    Decoded d = run(c.gz);
    EXPECT_EQ(d.error, c.error) << testing::PrintToString(c.gz.substr(0, 40));
  }
}

// A damaged Huffman table that ISA-L decodes as an immediate end of block
// (zlib: "invalid literal/lengths set"), followed by eight zero bytes: the
// trailer of an empty member. It must not load as an empty file.
TEST_P(GzipSourceTest, AMemberWithoutOutputMustBeAValidStream) {
  const std::string hex =
      "1f8b080000004000020395923f6fc23010c5f77e0cafb50edbe73fe7cc15ed525595185051060a0b6d68"
      "11585d10dfbde705022420813224399feff9fd9eb70000000000000000";
  std::string gz;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    gz += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  EXPECT_EQ(run(gz).error, "corrupt deflate stream");
  EXPECT_EQ(run(gzip_member("")).error, "");  // a real empty member still loads
  EXPECT_EQ(run(gzip_member("") + gzip_member("x\n")).data, "x\n");
}

// Every single-bit flip of a member (with a name and a comment, and zero
// padding after it) fails with a decoder text or decodes to the original.
TEST_P(GzipSourceTest, NoBitFlipDecodesToOtherBytes) {
  const std::string text = sample_text(3000);
  MemberOptions o;
  o.name = "n.json";
  o.comment = "c";
  const std::string gz = gzip_member(text, o) + std::string(8, '\0');
  const std::string errors[] = {"invalid gzip header", "gzip header field too long",
                                "corrupt deflate stream",
                                "corrupt gzip stream does not have a matching checksum",
                                "unexpected end of file"};
  std::size_t loads = 0;
  for (std::size_t bit = 0; bit < gz.size() * 8; ++bit) {
    std::string flipped = gz;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    Decoded d = run(flipped);
    if (d.error.empty()) {
      ++loads;
      EXPECT_TRUE(d.data == text) << "bit " << bit;
    } else {
      EXPECT_NE(std::find(std::begin(errors), std::end(errors), d.error), std::end(errors))
          << "bit " << bit << ": " << d.error;
    }
  }
  // At least the modification time, the extra flags, the system and the
  // padding: (6 + 8) bytes of 8 bits.
  EXPECT_GE(loads, 14u * 8);
}

TEST_P(GzipSourceTest, DataBeforeAFailureIsDeliveredFirst) {
  std::string text = sample_text(200000);
  MemberOptions bad_crc;
  bad_crc.crc_delta = 1;
  Decoded d = run(gzip_member(text, bad_crc), 1 << 20);
  EXPECT_EQ(d.error, "corrupt gzip stream does not have a matching checksum");
  EXPECT_TRUE(d.data == text);
}

TEST_P(GzipSourceTest, ReadErrorsPassThrough) {
  std::string gz = gzip_member(sample_text(100000));
  GzipSource source(std::make_unique<ChunkedSource>(gz, 1 << 20, 100), GetParam());
  std::string buffer(1 << 20, '\0');
  ReadResult r = source.read(buffer.data(), buffer.size());
  while (r.error.empty() && r.size > 0) r = source.read(buffer.data(), buffer.size());
  EXPECT_EQ(r.error, "Input/output error (os error 5)");
  // A failed source stays failed.
  EXPECT_EQ(source.read(buffer.data(), buffer.size()).error, r.error);
}

INSTANTIATE_TEST_SUITE_P(Backends, GzipSourceTest,
                         testing::Values(Inflater::Backend::kZlib, Inflater::Backend::kIsal),
                         [](const testing::TestParamInfo<Inflater::Backend>& param) {
                           return param.param == Inflater::Backend::kZlib ? "zlib" : "isal";
                         });

}  // namespace
}  // namespace marrowfin::parse
