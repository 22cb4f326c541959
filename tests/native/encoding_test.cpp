// The decoder chosen by a file's name, what every decoder does alike, then
// what one format alone has.
#include "core/io/encoding.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/io/bzip2_blocks.hpp"
#include "test_support.hpp"

namespace marrowfin::io {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests' helpers

TEST(Encoding, ByTheExtensionOfTheFinalComponentOnly) {
  using enum Encoding;
  // Trailing separators and "." components (not ".."), a dot that starts the
  // name, the extension's case and its near misses.
  const std::pair<const char*, Encoding> cases[] = {
      {"x.gz", kGzip}, {"x.gzip", kGzip}, {"a.b/x.tar.gz", kGzip}, {"x.gz//", kGzip}, {"x.gz/.", kGzip},
      {"..gz", kGzip}, {"d/1.2.bz2", kBzip2}, {"x.bz2/", kBzip2}, {"1.2.json.zst", kZstd}, {"x.zst/", kZstd},
      {"x.GZ", kPlain}, {"x.gz.txt", kPlain}, {".gz", kPlain}, {"d/.gz", kPlain}, {"x.gz/..", kPlain},
      {"/.", kPlain}, {"/", kPlain}, {"", kPlain}, {"gz", kPlain}, {"x.", kPlain}, {"x.gz/y", kPlain},
      {"x.gzi", kPlain}, {"x.gz ", kPlain}, {"x.bz", kPlain}, {"x.tbz2", kPlain}, {"x.zstd", kPlain},
  };
  for (auto [path, encoding] : cases) {
    EXPECT_EQ(static_cast<int>(encoding_from_name(path)), static_cast<int>(encoding)) << path;
  }
}

const std::string kEnd = "unexpected end of file";
const std::string kIo = "Input/output error (os error 5)";
const std::string kDeflate = "corrupt deflate stream";

// A zstd frame made by hand: header descriptor `descriptor`, then `rest` (a
// window descriptor, a dictionary id, ...), then one empty last block.
std::string bare_frame(char descriptor, const std::string& rest) {
  return "\x28\xb5\x2f\xfd" + (descriptor + rest) + std::string("\x01\x00\x00", 3);
}

std::string with_byte(std::string data, std::size_t at, char byte) {
  data[at] = byte;
  return data;
}

class Decoder : public testing::TestWithParam<Codec> {
 protected:
  // `text` in every form the format has, the usual one first.
  std::vector<std::string> forms(const std::string& text) const {
    if (encoding_ == Encoding::kGzip) {
      return {gzip_member(text), gzip_member(text, {.extra = std::string(300, 'x'),
                                                    .name = std::string(65535, 'n'),
                                                    .comment = "c",
                                                    .header_crc = true})};
    }
    if (encoding_ == Encoding::kBzip2) {
      // Blocks of 100 kB or 900 kB, and one stream per block, as parallel
      // compressors write them.
      std::string streams;
      for (std::size_t at = 0; at < text.size(); at += 100000) {
        streams += bzip2_stream(text.substr(at, 100000), 1);
      }
      return {bzip2_stream(text, 1), bzip2_stream(text, 9), streams};
    }
    return {zstd_frame(text), zstd_frame(text, {1, false, false}), zstd_frame(text, {9, true, false})};
  }
  // The start of a member, and what follows one that is another format's.
  std::string magic() const {
    return encoding_ == Encoding::kGzip ? "\x1f\x8b" : encoding_ == Encoding::kBzip2 ? "BZ" : "\x28\xb5\x2f\xfd";
  }
  std::string foreign(const std::string& text) const {
    return encoding_ == Encoding::kBzip2 ? zstd_frame(text) : bzip2_stream(text);
  }
  std::string header_error() const { return "invalid " + name_of(encoding_) + " header"; }
  // `text` whole, with its checksum wrong, and the failure that says so.
  std::string damaged(const std::string& text) const {
    if (encoding_ == Encoding::kGzip) return gzip_member(text, {.crc_delta = 1});
    std::string good = forms(text)[0];
    return encoding_ == Encoding::kBzip2 ? flip(good, 8 * good.size() - 16) : flip(good, 8 * good.size() - 1);
  }
  std::string corrupt() const {
    return encoding_ == Encoding::kGzip    ? "corrupt gzip stream does not have a matching checksum"
           : encoding_ == Encoding::kBzip2 ? "corrupt bzip2 stream"
                                           : "corrupt zstd stream";
  }
  // What this format alone fails on (or, the first zstd one, accepts).
  std::vector<std::pair<std::string, std::string>> own_faults() const {
    if (encoding_ == Encoding::kGzip) {
      const std::string text = "line one\nline two\n", good = gzip_member(text);
      const std::string too_long = "gzip header field too long";
      return {
          {std::string("\x1f\x8c\x08\0\0\0\0\0\0\x03", 10), header_error()},
          {std::string("\x1f\x8b\x07\0\0\0\0\0\0\x03", 10) + good.substr(10), header_error()},
          {good + "\x1f\x8b\x09", header_error()},
          {gzip_member(text, {.header_crc = true, .header_crc_delta = 1}), corrupt()},
          {gzip_member(text, {.size_delta = 1}), corrupt()},
          {gzip_member(text, {.name = std::string(65536, 'n')}), too_long},
          {gzip_member(text, {.comment = std::string(70000, 'c')}), too_long},
          // Block type 3 does not exist.
          {std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03\x07", 11) + std::string(20, '\xff'), kDeflate},
      };
    }
    if (encoding_ == Encoding::kBzip2) {
      const std::string text = sample_text(250000), good = bzip2_stream(text, 1);  // three blocks
      const std::string tiny = bzip2_stream("line\n");
      return {
          {"BZh", kEnd},
          {"BZ0" + good.substr(3), header_error()},  // the first format, which libbz2 never read
          {"BZh0" + good.substr(4), header_error()},
          {good + "BZh0", header_error()},
          {good + "BZhx", header_error()},
          // The first block's magic, its CRC (byte-aligned after the header and
          // block magic), a bit of its data and of the end-of-stream magic.
          {flip(good, 33), corrupt()},
          {flip(good, 80), corrupt()},
          {flip(good, 300), corrupt()},
          {flip(tiny, 8 * tiny.size() - 90), corrupt()},
          {tiny.substr(0, 20), kEnd},
          // A block whose size claims more than the header's level allows.
          {"BZh1" + bzip2_stream(text, 9).substr(4), corrupt()},
      };
    }
    const std::string good = zstd_frame(sample_text(400000));
    const std::string tiny = zstd_frame("line\n");  // single segment: a one-byte content size at 5
    const std::string unsized = zstd_frame(sample_text(400000), {3, false, false});
    const std::string resized = with_byte(tiny, 5, static_cast<char>(tiny[5] + 1));
    const std::string unsupported = "unsupported zstd frame";
    return {
        // A window as large as a decoder keeps (128 MiB), declared by the header.
        {bare_frame('\0', "\x88"), ""},
        {"\x27\xb5\x2f\xfd" + good.substr(4), header_error()},  // an older format's magic
        {bare_frame('\x08', "\x88"), header_error()},           // a reserved bit
        {good + bare_frame('\x08', "\x88"), header_error()},
        {bare_frame('\x01', "\x88\x07"), unsupported},  // a dictionary
        {bare_frame('\0', "\x90"), unsupported},        // a 256 MiB window
        {resized, corrupt()},                             // the content size
        {good + resized, corrupt()},
        {bare_frame('\x20', "\x21"), corrupt()},  // 33 bytes, says the header; the block is empty
        {with_byte(tiny, tiny.size() - 6, static_cast<char>(~tiny[tiny.size() - 6])), corrupt()},
        {with_byte(unsized, unsized.size() / 2, static_cast<char>(~unsized[unsized.size() / 2])), corrupt()},
        {unsized.substr(0, unsized.size() - 1), kEnd},
        {std::string("\x50\x2a\x4d\x18\x64\0\0\0", 8) + std::string(20, 'x'), kEnd},  // a skippable frame cut
    };
  }

  const Encoding encoding_ = GetParam().encoding;
};

// Every form, and members one after another (empty ones, zero padding
// between them), whatever the buffer sizes; anything after a member that does
// not start one ends the file: a member after junk is junk too, and so is a
// magic the input stops inside.
TEST_P(Decoder, DecodesEveryFormAndMemberAndIgnoresPaddingOrJunkAfterOne) {
  const std::string a = sample_text(400000, 1);  // blocks of each format: four at least
  const std::string b = sample_text(70000, 2);
  const std::string first = forms(a)[0], second = forms(b).back(), empty = forms("")[0];
  std::vector<std::pair<std::string, std::string>> files = {
      {first + second, a + b}, {first + empty + second, a + b},
      {first + std::string(1000, '\0') + second + std::string(3, '\0'), a + b}, {empty, ""},
      {empty + forms("x\n")[0], "x\n"}};
  for (const std::string& form : forms(a)) files.emplace_back(form, a);
  const std::pair<std::size_t, std::size_t> sizes[] = {{7, 4093}, {1000, 1}, {32768, 777}, {1 << 20, 1 << 20}};
  for (const auto& [file, text] : files) {
    for (auto [out_chunk, in_chunk] : sizes) {
      Decoded d = GetParam()(file, out_chunk, in_chunk);
      EXPECT_EQ(d.error, "") << out_chunk << " " << in_chunk;
      EXPECT_TRUE(d.data == text) << out_chunk << " " << in_chunk << " " << d.data.size();
    }
  }
  const std::string m = magic();
  for (const std::string& tail : {std::string(10, '\0'), std::string("junk"), m.substr(0, 1), m.substr(0, m.size() - 1),
                                  m.substr(0, m.size() - 1) + static_cast<char>(m.back() ^ 1) + " rest",
                                  std::string(2, '\0') + m.substr(0, m.size() - 1), "x" + second, foreign(b)}) {
    Decoded d = GetParam()(first + tail, 65536, 3);
    EXPECT_EQ(d.error, "") << testing::PrintToString(tail.substr(0, 8));
    EXPECT_TRUE(d.data == a) << testing::PrintToString(tail.substr(0, 8));
  }
}

TEST_P(Decoder, FailsInItsOwnWordsWhereverTheFaultIs) {
  const std::string good = forms(sample_text(250000))[0];
  const std::string bad = damaged("line one\nline two\n");
  std::vector<std::pair<std::string, std::string>> cases = own_faults();
  cases.insert(cases.end(), {
      {"", kEnd}, {magic().substr(0, 1), kEnd}, {magic().substr(0, magic().size() - 1), kEnd},
      {"plain text\n", header_error()},
      {foreign("x\n"), header_error()}, {bad, corrupt()},
      // Cut anywhere: in the header, a block, the trailer.
      {good.substr(0, 4), kEnd}, {good.substr(0, 14), kEnd}, {good.substr(0, good.size() / 2), kEnd},
      {good.substr(0, good.size() - 1), kEnd}, {good.substr(0, good.size() - 8), kEnd},
      // A later member fails as the first one would.
      {good + good.substr(0, 4), kEnd}, {good + good.substr(0, good.size() - 3), kEnd},
      {good + bad, corrupt()},
  });
  for (const auto& [data, error] : cases) {
    EXPECT_EQ(GetParam()(data).error, error) << testing::PrintToString(data.substr(0, 12));
    EXPECT_EQ(GetParam()(data, 7, 1).error, error) << testing::PrintToString(data.substr(0, 12));
  }
}

TEST_P(Decoder, DataBeforeAFailureComesFirstAndReadErrorsPassThrough) {
  const std::string a = sample_text(250000, 6);
  const std::string good = forms(a)[0];
  Decoded d = GetParam()(good + damaged(a), 1 << 20);
  EXPECT_EQ(d.error, corrupt());
  // libzstd drops what it wrote in the step whose checksum failed: here the
  // whole frame.
  std::size_t least = encoding_ == Encoding::kZstd ? a.size() : 2 * a.size();
  EXPECT_TRUE(d.data.size() >= least && (a + a).starts_with(d.data)) << d.data.size();
  // A read error takes the place of the end of the file, wherever it is.
  EXPECT_EQ(GetParam()(good, 1 << 20, 1000, 2).error, kIo);
  EXPECT_EQ(GetParam()(good, 1 << 20, 1000, 100).error, kIo);
  for (const auto& [file, fail_at] : {std::pair{good + good, good.size() + 2}, {good, good.size()}}) {
    d = GetParam()(file, 1 << 20, 1000, fail_at);
    EXPECT_EQ(d.error, kIo);
    EXPECT_TRUE(d.data == a);
  }
  EXPECT_EQ(GetParam()(good + "junk", 1 << 20, 1000, good.size() + 4).error, "");
}

std::vector<Codec> all_codecs() {
  std::vector<Codec> all;
  for (Encoding e : {Encoding::kGzip, Encoding::kBzip2, Encoding::kZstd}) {
    for (const Codec& codec : codecs_of(e)) all.push_back(codec);
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Codecs, Decoder, testing::ValuesIn(all_codecs()),
                         [](const testing::TestParamInfo<Codec>& param) { return param.param.name(); });

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

TEST(Bzip2Blocks, MarkersAtEveryBitOffsetAndAtTheEdges) {
  std::mt19937 random(7);
  std::string data(200, '\0');
  for (char& c : data) c = static_cast<char>(random());
  // Planted at every shift, back to back, overlapping the last byte.
  std::vector<std::uint64_t> at = {0, 61, 130, 203, 276, 349, 422, 495, 8 * 200 - 48};
  for (std::size_t i = 0; i < at.size(); ++i) {
    put_bits(data, at[i], i % 2 ? bzip2::kEndMarker : bzip2::kBlockMarker, bzip2::kMarkerBits);
  }
  // Found where planted, and nowhere else: the random bytes hold none by chance.
  std::vector<bzip2::Marker> found;
  for (auto marker = bzip2::find_marker(data, 0); marker; marker = bzip2::find_marker(data, marker->bit + 1)) {
    found.push_back(*marker);
  }
  ASSERT_EQ(found.size(), at.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].bit, at[i]);
    EXPECT_EQ(found[i].end, i % 2 == 1);
  }
  // A marker cut off by the end is none; the search starts where it is told.
  EXPECT_FALSE(bzip2::find_marker(data.substr(0, 199), at.back()));
  EXPECT_EQ(bzip2::find_marker(data, 62)->bit, 130u);
}

// Read a block at a time, a file is read only as far as the blocks decoded
// need, further each time a block runs past what is in; and what comes out,
// and every failure, is what a whole read gives.
TEST(Bzip2Source, ASteppedReadReadsAndWalksNoFurtherThanItsBlocksStart) {
  const std::string text = sample_text(400000, 5);
  const std::string file = bzip2_stream(text, 1);  // four blocks
  for (std::size_t first_input : {std::size_t{1}, std::size_t{1000}, io::Bzip2Source::kFirstInput}) {
    auto source = std::make_unique<ChunkedSource>(file);
    const ChunkedSource& counted = *source;
    io::Bzip2Source stepped(std::move(source), 0, 4096, false, first_input);
    std::string first(1 << 20, '\0');
    io::ReadResult r = stepped.read(first.data(), first.size());
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(text.starts_with(first.substr(0, r.size)));
    // The first 100 kB block's start only, handed out before it is walked whole.
    EXPECT_LT(r.size, 2 * io::Bzip2Source::kPeek);
    if (first_input < file.size()) {
      EXPECT_LT(counted.position(), file.size() / 2) << first_input;
    }
  }
  // Cut, damaged or failing to read past the first read (whole files and
  // streams after padding are the Decoder tests'); and a first block whose
  // stored CRC (bits 80 to 111) does not match, its start handed out before
  // the block fails.
  const Codec whole{io::Encoding::kBzip2}, step{io::Encoding::kBzip2, {}, 0, 4096};
  const std::size_t late = file.size() / 3, end = std::string::npos;
  for (const auto& [data, fail_at] : std::vector<std::pair<std::string, std::size_t>>{
           {file.substr(0, late), end}, {file.substr(0, file.size() - 1), end}, {flip(file, 8 * late), end},
           {flip(file, 90), end}, {file, late}}) {
    Decoded a = whole(data, 65536, 1 << 20, fail_at), b = step(data, 65536, 1 << 20, fail_at);
    EXPECT_EQ(b.error, a.error) << data.size() << " " << fail_at;
    EXPECT_TRUE(b.data == a.data) << b.data.size() << " " << a.data.size();
  }
}

// Read a block at a time, the file is read as the blocks need it, and the
// compressed bytes that the blocks decoded are done with are given back,
// where the file can be read again; and a failure past them still gets
// libbz2's verdict on the whole stream, read again.
TEST(Bzip2Source, GivesBackTheInputItIsDoneWithAndReadsItAgainForLibbz2) {
  const std::string text = sample_text(8000000, 6);
  const std::string file = bzip2_stream(text, 1);  // eighty blocks
  for (bool pipe : {false, true}) {
    auto chunked = std::make_unique<ChunkedSource>(file, 4096);
    chunked->pipe = pipe;
    const ChunkedSource& read = *chunked;
    io::Bzip2Source source(std::move(chunked), 0, 0, false, 4096);
    std::string out(text.size() * 3 / 4, '\0');
    std::size_t most = 0;
    for (std::size_t got = 0; got < out.size();) {
      io::ReadResult r = source.read(out.data() + got, std::min<std::size_t>(out.size() - got, 65536));
      ASSERT_EQ(r.error, "");
      ASSERT_GT(r.size, 0u);
      got += r.size;
      most = std::max(most, source.input_held());
    }
    EXPECT_TRUE(text.starts_with(out));
    EXPECT_LT(read.position(), file.size());
    if (pipe) {
      EXPECT_EQ(source.input_held(), read.position());
    } else {
      EXPECT_LT(most, file.size() / 3) << file.size();
    }
  }
  {
    // Nor is a file of tiny streams read a block at a time.
    std::string tiny;
    const std::string one = bzip2_stream("{\"op\":\"mcm\"}\n", 1);
    for (int i = 0; i < 3000; ++i) tiny += one;
    auto chunked = std::make_unique<ChunkedSource>(tiny);
    const ChunkedSource& read = *chunked;
    io::Bzip2Source source(std::move(chunked), 0, 0, false, 4096);
    std::string out(2999 * 13, '\0');  // the file is let go at its end
    for (std::size_t got = 0; got < out.size();) {
      io::ReadResult r = source.read(out.data() + got, out.size() - got);
      ASSERT_EQ(r.error, "");
      ASSERT_GT(r.size, 0u);
      got += r.size;
    }
    EXPECT_LT(read.requests.size(), 20u) << tiny.size();
  }
  const std::size_t bits = 8 * file.size();
  for (std::size_t bit : {bits / 2, bits * 9 / 10, bits - 20}) {
    const std::string bad = flip(file, bit);
    io::Bzip2Source one_pass(std::make_unique<ChunkedSource>(bad), 0, 0, true);
    Decoded expected = drain(one_pass, 65536);
    Decoded got = Codec{io::Encoding::kBzip2}(bad);
    EXPECT_EQ(got.error, expected.error) << bit;
    EXPECT_TRUE(got.data == expected.data) << bit << " " << got.data.size() << " " << expected.data.size();
    // Cut since it was read: what came out stands, and the end is said.
    auto chunked = std::make_unique<ChunkedSource>(bad);
    chunked->cut = true;
    io::Bzip2Source source(std::move(chunked), 0);
    Decoded cut = drain(source, 65536);
    EXPECT_EQ(cut.error, "unexpected end of file") << bit;
    EXPECT_TRUE(expected.data.starts_with(cut.data)) << bit;
  }
}

}  // namespace
}  // namespace marrowfin::io
