// The decoder chosen by a file's name, and what every decoder does alike:
// members one after another, padding and junk after one, failures in its
// own words after the data before them, read errors passed on.
#include "core/io/encoding.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace marrowfin::io {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests' helpers

TEST(Encoding, ByTheExtensionOfTheFinalComponentOnly) {
  const auto gz = Encoding::kGzip;
  const auto bz = Encoding::kBzip2;
  const auto zs = Encoding::kZstd;
  const auto no = Encoding::kPlain;
  const struct {
    const char* path;
    Encoding encoding;
  } cases[] = {
      {"x.gz", gz},    {"x.gzip", gz},  {"dir/x.gz", gz}, {"a.b/x.tar.gz", gz}, {"x.gz/", gz},
      {"x.gz//", gz},  {"x.gz/.", gz},  {"..gz", gz},     {"d/..gz", gz},       {"x .gz", gz},
      {"x.bz2", bz},   {"d/1.2.bz2", bz}, {"x.tar.bz2", bz}, {"x.bz2/", bz},    {"..bz2", bz},
      {"x.GZ", no},    {"x.gz.txt", no}, {".gz", no},     {"d/.gz", no},        {"x.gz/..", no},
      {"..", no},      {".", no},       {"/", no},        {"", no},             {"gz", no},
      {"x.", no},      {"x.gz/y", no},  {"x.gzi", no},    {"x.gz ", no},        {"x.BZ2", no},
      {"x.bz", no},    {"x.bzip2", no}, {".bz2", no},     {"x.bz2.json", no},   {"x.tbz2", no},
      {"x.zst", zs},   {"1.2.json.zst", zs}, {"x.zst/", zs}, {"..zst", zs},     {"x.ZST", no},
      {"x.zstd", no},  {".zst", no},    {"x.zst.json", no}, {"x.tzst", no},     {"x.zs", no},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(encoding_from_name(c.path)), static_cast<int>(c.encoding)) << c.path;
  }
}

const std::string kEnd = "unexpected end of file";
const std::string kIo = "Input/output error (os error 5)";

class Decoder : public testing::TestWithParam<Codec> {
 protected:
  void SetUp() override { encoding_ = GetParam().encoding; }
  Decoded run(std::string data, std::size_t out_chunk = 65536, std::size_t in_chunk = 1 << 20,
              std::size_t fail_at = std::string::npos) const {
    return GetParam()(std::move(data), out_chunk, in_chunk, fail_at);
  }
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

  Encoding encoding_ = Encoding::kPlain;
};

TEST_P(Decoder, DecodesEveryFormWhateverTheBufferSizes) {
  const std::string text = sample_text(400000);  // blocks of each format: four at least
  for (const std::string& data : forms(text)) {
    const std::pair<std::size_t, std::size_t> sizes[] = {{7, 1 << 20}, {1000, 1}, {32768, 777}, {1 << 20, 1 << 20}};
    for (auto [out_chunk, in_chunk] : sizes) {
      Decoded d = run(data, out_chunk, in_chunk);
      EXPECT_EQ(d.error, "") << out_chunk << " " << in_chunk;
      EXPECT_TRUE(d.data == text) << out_chunk << " " << in_chunk << " " << d.data.size();
    }
  }
  Decoded d = run(forms("")[0]);
  EXPECT_EQ(d.error + d.data, "");
}

TEST_P(Decoder, EveryMemberIsDecodedAndPaddingOrJunkAfterOneIsIgnored) {
  const std::string a = sample_text(250000, 1);
  const std::string b = sample_text(70000, 2);
  const std::string first = forms(a)[0];
  const std::string second = forms(b).back();
  for (const std::string& file : {first + second, first + forms("")[0] + second,
                                  first + std::string(1000, '\0') + second + std::string(3, '\0')}) {
    for (auto [out_chunk, in_chunk] : {std::pair{7ul, 4093ul}, {65536ul, 1ul}, {1ul << 20, 1ul << 20}}) {
      Decoded d = run(file, out_chunk, in_chunk);
      EXPECT_EQ(d.error, "");
      EXPECT_TRUE(d.data == a + b) << out_chunk << " " << in_chunk << " " << d.data.size();
    }
  }
  EXPECT_EQ(run(forms("")[0] + forms("x\n")[0]).data, "x\n");
  // Anything after a member that does not start one ends the file: a member
  // after junk is junk too, and so is a magic the input stops inside.
  const std::string m = magic();
  for (const std::string& tail : {std::string(10, '\0'), std::string("junk"), m.substr(0, 1), m.substr(0, m.size() - 1),
                                  m.substr(0, m.size() - 1) + static_cast<char>(m.back() ^ 1) + " rest",
                                  std::string(2, '\0') + m.substr(0, m.size() - 1), "x" + second, foreign(b)}) {
    Decoded d = run(first + tail, 65536, 3);
    EXPECT_EQ(d.error, "") << testing::PrintToString(tail.substr(0, 8));
    EXPECT_TRUE(d.data == a) << testing::PrintToString(tail.substr(0, 8));
  }
}

TEST_P(Decoder, FailsInItsOwnWordsWhereverTheFaultIs) {
  const std::string good = forms(sample_text(250000))[0];
  const std::string bad = damaged("line one\nline two\n");
  const struct {
    std::string data, error;
  } cases[] = {
      {"", kEnd}, {magic().substr(0, 1), kEnd}, {magic().substr(0, magic().size() - 1), kEnd},
      {"plain text\n", header_error()},
      {foreign("x\n"), header_error()}, {bad, corrupt()},
      // Cut anywhere: in the header, a block, the trailer.
      {good.substr(0, 4), kEnd}, {good.substr(0, 14), kEnd}, {good.substr(0, good.size() / 2), kEnd},
      {good.substr(0, good.size() - 1), kEnd}, {good.substr(0, good.size() - 8), kEnd},
      // A later member fails as the first one would.
      {good + good.substr(0, 4), kEnd}, {good + good.substr(0, good.size() - 3), kEnd},
      {good + bad, corrupt()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.data).error, c.error) << testing::PrintToString(c.data.substr(0, 12));
    EXPECT_EQ(run(c.data, 7, 1).error, c.error) << testing::PrintToString(c.data.substr(0, 12));
  }
}

TEST_P(Decoder, DataBeforeAFailureComesFirstAndReadErrorsPassThrough) {
  const std::string a = sample_text(250000, 6);
  const std::string good = forms(a)[0];
  Decoded d = run(good + damaged(a), 1 << 20);
  EXPECT_EQ(d.error, corrupt());
  // libzstd drops what it wrote in the step whose checksum failed: here the
  // whole frame.
  std::size_t least = encoding_ == Encoding::kZstd ? a.size() : 2 * a.size();
  EXPECT_TRUE(d.data.size() >= least && (a + a).starts_with(d.data)) << d.data.size();
  // A read error takes the place of the end of the file, wherever it is.
  EXPECT_EQ(run(good, 1 << 20, 1000, 2).error, kIo);
  EXPECT_EQ(run(good, 1 << 20, 1000, 100).error, kIo);
  for (const auto& [file, fail_at] : {std::pair{good + good, good.size() + 2}, {good, good.size()}}) {
    d = run(file, 1 << 20, 1000, fail_at);
    EXPECT_EQ(d.error, kIo);
    EXPECT_TRUE(d.data == a);
  }
  EXPECT_EQ(run(good + "junk", 1 << 20, 1000, good.size() + 4).error, "");
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

}  // namespace
}  // namespace marrowfin::io
