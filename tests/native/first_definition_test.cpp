// The first market definition of a stream file, found line by line and read
// no further: which change is the one, the failures before it, and how far
// each encoding decodes.
#include "core/load/first_definition.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/io/byte_source.hpp"
#include "core/io/bzip2_source.hpp"
#include "core/load/message_loader.hpp"
#include "test_support.hpp"

namespace marrowfin::load {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests' helpers

// Whole lines of sample text, without a definition.
std::string lines_of(std::size_t size, unsigned seed) {
  std::string text = sample_text(size, seed);
  text.resize(text.rfind('\n') + 1);
  return text;
}

FirstDefinition read(const std::string& bytes, io::Encoding encoding, const DefinitionOptions& options = {}) {
  return read_first_definition(std::make_unique<io::MemorySource>(bytes), encoding, options);
}

// Lines that come before a definition without being one.
const std::string kNoDefinition =
    R"({"op": "heartbeat", "pt": 5})" "\n"
    R"({"pt": 0, "mc": [{"id": "1.9", "marketDefinition": {"venue": "no pt"}}]})" "\n"
    R"({"pt": 6, "mc": [{"marketDefinition": {"venue": "no market yet"}}]})" "\n"
    "\r\n"
    R"({"pt": 7, "mc": [{"id": "1.2", "rc": [{"id": 1, "ltp": 2}]}, {"id": "1.3", "marketDefinition": 4}]})"
    "\n";

struct Case {
  const char* what;
  std::string text;
  bool found;
  std::string market_id, venue, error;
  std::int64_t publish_time = 0;
};

class FirstDefinitionTest : public testing::TestWithParam<io::Encoding> {};

// A definition on the first line, none at all, bad UTF-8 before one and a
// line that is no JSON after one are test_filters.py's, in every encoding.
TEST_P(FirstDefinitionTest, TheFirstDefinitionThatGoesToAMarketAndTheFailuresBeforeIt) {
  const Case cases[] = {
      {"after lines that are not one, without an id: the first market's",
       kNoDefinition + R"({"pt": 8, "mc": [{"rc": []}, {"marketDefinition": {"venue": "Kelso"}}]})" "\n" +
           R"({"pt": 9, "marketDefinition": {"venue": "later"}})",
       true, "1.2", "Kelso", "", 8},
      {"a bare change as the line, and no line feed at the end",
       kNoDefinition + R"({"pt": 9, "id": "1.4", "marketDefinition": {"venue": "Perth"}})", true, "1.4",
       "Perth", "", 9},
      {"a bad line before it", kNoDefinition + "[1,]\n" + R"({"pt": 9, "id": "1.4", "marketDefinition": {}})",
       false, "", "", "trailing comma at line 1 column 4"},
  };
  for (const Case& c : cases) {
    FirstDefinition got = read(encoded(c.text, GetParam()), GetParam());
    const json::Value* definition = got.change.find(json::Key::kMarketDefinition);
    const json::Value* venue = definition != nullptr ? definition->find(json::Key::kVenue) : nullptr;
    EXPECT_EQ(std::tie(got.found, got.error, got.market_id, got.publish_time),
              std::tie(c.found, c.error, c.market_id, c.publish_time)) << c.what;
    EXPECT_EQ(venue != nullptr ? std::string(*venue->as_string()) : "", c.venue) << c.what;
    EXPECT_EQ(definition != nullptr, c.found) << c.what;
  }
}

// A definition is read no further than a step past its line; a file without
// one is read to its end, unless a load's limit or an interruption comes first.
TEST_P(FirstDefinitionTest, DecodesNoFurtherThanAStepPastTheLineAndStopsAtALimitOrWhenAsked) {
  // 1 MB of lines after the definition, which a whole decode would read.
  std::string text = R"({"pt": 3, "mc": [{"id": "1.5", "marketDefinition": {}}]})" "\n";
  const std::size_t line = text.size();
  text += lines_of(1'000'000, 1);
  FirstDefinition got = read(encoded(text, GetParam()), GetParam());
  ASSERT_TRUE(got.found);
  EXPECT_GE(got.bytes_decoded, line);
  // bzip2 delivers a block whole: 900 kB at level 9.
  EXPECT_LE(got.bytes_decoded, GetParam() == io::Encoding::kBzip2 ? 900'100 : kDefinitionReadStep);

  const std::string none = encoded(lines_of(200'000, 2), GetParam());
  got = read(none, GetParam(), {.max_decoded_bytes = 100'000});
  EXPECT_FALSE(got.found || got.interrupted);
  EXPECT_EQ(got.error, "larger than the size limit of 100,000 bytes once decoded");
  int asked = 0;
  got = read(none, GetParam(), {.interrupted = [&] { return ++asked == 3; }});
  EXPECT_TRUE(got.interrupted && !got.found && got.error.empty());
  EXPECT_EQ(asked, 3);
}

// A file in memory that counts what is read of it into `read`.
class CountedSource final : public io::ByteSource {
 public:
  CountedSource(std::string_view data, std::size_t& read) : data_(data), read_(read) {}
  io::ReadResult read(char* out, std::size_t capacity) override {
    io::ReadResult r = data_.read(out, std::min<std::size_t>(capacity, 4093));
    read_ += r.size;
    return r;
  }

 private:
  io::MemorySource data_;
  std::size_t& read_;
};

std::vector<std::int64_t> publish_times(const LoadResult& loaded) {
  std::vector<std::int64_t> times;
  for (const ParsedMessage& message : loaded.store->messages) times.push_back(message.publish_time);
  return times;
}

// Lines of random digits: they compress to a file several reads long.
std::string digit_lines(std::size_t size) {
  std::string text;
  for (std::uint64_t state = 5; text.size() < size;) {
    text += R"({"pt": 4, "mc": [], "x": ")";
    for (int i = 0; i < 100; ++i) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      text += static_cast<char>('0' + (state >> 60) % 10);
    }
    text += "\"}\n";
  }
  return text;
}

// Kept, a definition's source gives the whole file again, what was read for
// the definition first: the file is read once, and a load from it is the
// file's load, its failures included. A filter may yet skip the recording:
// bzip2 reads no more of the file until the kept source is read.
TEST_P(FirstDefinitionTest, ItsSourceGivesTheWholeFileOnceForALoadToGoOnFrom) {
  const std::string head = R"({"pt": 3, "mc": [{"id": "1.5", "marketDefinition": {}}]})" "\n";
  // (the text after the definition, whether it loads)
  for (const auto& [tail, loads] :
       {std::pair{digit_lines(3'000'000), true}, {lines_of(300'000, 4) + "[1,]\n", false}}) {
    const std::string file = encoded(head + tail, GetParam());
    if (loads) {
      ASSERT_GT(file.size(), 3 * io::Bzip2Source::kFirstInput);
    }
    std::size_t read_so_far = 0;  // the source may be gone when it has been read
    FirstDefinition got = read_first_definition(std::make_unique<CountedSource>(file, read_so_far), GetParam(),
                                                {.keep_source = true});
    ASSERT_TRUE(got.found && got.source);
    if (GetParam() == io::Encoding::kBzip2) {
      EXPECT_LE(read_so_far, 2 * io::Bzip2Source::kFirstInput);
    }
    LoadResult loaded = load_decoded(std::move(got.source), {.chunk_size = 65536, .threads = 2});
    LoadResult whole = load_messages_from_bytes(file, GetParam(), io::Inflater::default_backend());
    EXPECT_EQ(read_so_far, file.size());
    EXPECT_EQ(loaded.error, whole.error);
    ASSERT_EQ(loaded.store != nullptr, loads);
    ASSERT_EQ(whole.store != nullptr, loads);
    if (loads) {
      EXPECT_EQ(publish_times(loaded), publish_times(whole));
    }
  }
  EXPECT_FALSE(read(encoded(head, GetParam()), GetParam()).source);  // only when asked
}

INSTANTIATE_TEST_SUITE_P(Encodings, FirstDefinitionTest,
                         testing::Values(io::Encoding::kPlain, io::Encoding::kGzip, io::Encoding::kBzip2,
                                         io::Encoding::kZstd),
                         [](const auto& param) { return name_of(param.param); });

// A bzip2 block is decoded whole or not at all: the search must stop at the
// end of the block that holds the line, and leave the next one undecoded.
// Here one stream per block, as parallel compressors write them, so that the
// blocks' bounds in the text are known.
TEST(FirstDefinitionBzip2, StopsAtTheEndOfTheBlockThatHoldsTheLine) {
  const std::string before = lines_of(300'000, 3);
  const std::string line = R"({"pt": 3, "mc": [{"id": "1.5", "marketDefinition": {}}]})" "\n";
  const std::string after = lines_of(300'000, 4);
  for (int level : {1, 9}) {
    // The definition alone in the second stream, then at the start of a
    // stream of several blocks (level 1: 100 kB each).
    FirstDefinition got = read(bzip2_stream(before, level) + bzip2_stream(line, level) +
                                   bzip2_stream(after, level),
                               io::Encoding::kBzip2);
    ASSERT_TRUE(got.found) << level;
    EXPECT_EQ(got.bytes_decoded, before.size() + line.size()) << level;

    got = read(bzip2_stream(before, level) + bzip2_stream(line + after, level), io::Encoding::kBzip2);
    ASSERT_TRUE(got.found) << level;
    EXPECT_GT(got.bytes_decoded, before.size() + line.size()) << level;
    EXPECT_LE(got.bytes_decoded, before.size() + level * 100'000 + 100) << level;
  }
}

}  // namespace
}  // namespace marrowfin::load
