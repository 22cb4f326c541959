// Reading a stream file: the file, its lines, UTF-8 and blank lines, which
// messages are kept, and a result that does not depend on how the work is cut.
#include "core/load/message_loader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "core/io/byte_source.hpp"
#include "core/io/error_texts.hpp"
#include "core/json/utf8.hpp"
#include "test_support.hpp"

namespace marrowfin::load {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests' helpers
using namespace std::string_view_literals;

TEST(Utf8, ValidMalformedAndBlankText) {
  const std::pair<std::string_view, bool> texts[] = {
      {""sv, true}, {"plain ascii with a NUL \0 inside"sv, true},
      {"\xC2\x80 \xDF\xBF \xE2\x82\xAC \xEF\xBF\xBF"sv, true},
      {"\xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80"sv, true},  // around the surrogates
      {"\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"sv, true},       // U+10000, U+10FFFF
      {"\x80"sv, false}, {"\xFF"sv, false}, {"\xF5\x80\x80\x80"sv, false},  // no lead byte
      {"\xC0\x80"sv, false}, {"\xC1\xBF"sv, false}, {"\xE0\x9F\xBF"sv, false},
      {"\xF0\x8F\xBF\xBF"sv, false},  // overlong
      {"\xC2"sv, false}, {"\xC2\x41"sv, false}, {"\xE2\x82"sv, false}, {"\xF0\x90\x80"sv, false},
      {"\xED\xA0\x80"sv, false}, {"\xED\xBF\xBF"sv, false}, {"\xF4\x90\x80\x80"sv, false},
  };
  // The word-at-a-time paths (is_ascii lets a whole chunk skip the check)
  // must agree wherever the sequence falls, the very end included.
  for (auto [text, ok] : texts) {
    const bool ascii = std::ranges::all_of(text, [](char c) { return (c & 0x80) == 0; });
    EXPECT_EQ(json::is_valid_utf8(text), ok) << testing::PrintToString(text);
    for (std::size_t pad = 1; pad < 40; pad += 7) {
      std::string before = std::string(pad, 'a') + std::string(text);
      EXPECT_EQ(json::is_valid_utf8(before), ok) << pad;
      EXPECT_EQ(json::is_valid_utf8(before + std::string(pad, 'b')), ok) << pad;
      EXPECT_EQ(json::is_ascii(before + std::string(pad, 'b')), ascii) << pad;
    }
  }
  // Only Unicode White_Space makes a line blank: U+0085 U+00A0 U+1680, U+2000
  // U+200A U+2028 U+2029, U+202F U+205F U+3000; not the information
  // separators, U+FEFF, U+200B, U+180E, U+2060, U+00A1, U+3001.
  for (std::string_view text : {""sv, " \t\n\v\f\r"sv, "\r"sv, "\xC2\x85\xC2\xA0\xE1\x9A\x80"sv,
                                "\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"sv,
                                "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"sv}) {
    EXPECT_TRUE(json::is_blank(text)) << text;
  }
  for (std::string_view text : {"x"sv, " {}"sv, "\0"sv, "\x1C"sv, "\xEF\xBB\xBF"sv, "\xE2\x80\x8B"sv,
                                "\xE1\xA0\x8E"sv, "\xE2\x81\xA0"sv, "\xC2\xA1"sv, "  \xE3\x80\x81"sv}) {
    EXPECT_FALSE(json::is_blank(text)) << text;
  }
}

// "<publish time>:<number of market changes>" per message.
std::string describe(const LoadResult& result) {
  if (!result.store) return "error: " + result.error;
  std::string out;
  for (const ParsedMessage& m : result.store->messages) {
    out += std::to_string(m.publish_time) + ":" + std::to_string(m.market_changes.size()) + " ";
  }
  return out;
}

LoadResult load(const std::string& data, io::Encoding encoding, LoadOptions options = {}) {
  return load_messages_from_bytes(data, encoding, io::Inflater::default_backend(), options);
}

// The same data read a chunk at a time (stream_decoded): described as
// describe() describes a load, or "interrupted".
std::string streamed(const std::string& data, io::Encoding encoding, const LoadOptions& options = {}) {
  std::string out;
  StreamResult result = stream_decoded(
      io::decoded(std::make_unique<io::MemorySource>(data), encoding, io::Inflater::default_backend(), 0),
      options, [&](std::span<const ParsedMessage> messages) {
        for (const ParsedMessage& m : messages) {
          out += std::to_string(m.publish_time) + ":" + std::to_string(m.market_changes.size()) + " ";
        }
      });
  if (result.interrupted) return "interrupted";
  return result.ok() ? out : "error: " + result.error;
}

TEST(LoadMessages, SkippedLinesLeaveNothingInTheArena) {
  std::string levels = "[1.5,2]";
  for (int i = 0; i < 200; ++i) levels += ",[1.6,3]";
  std::string skipped;  // 3 MB of values, were they kept
  for (int i = 0; i < 1000; ++i) {
    skipped += R"({"pt":0,"mc":[{"id":"1.1","rc":[{"atb":[)" + levels + "]}]}]}\n";
    skipped += R"({"op":"mcm","pt":5,"clk":"x"})" "\n";
  }
  LoadResult result = load(skipped + R"({"pt":1,"mc":[]})", io::Encoding::kPlain);
  ASSERT_TRUE(result.store);
  EXPECT_EQ(result.store->messages.size(), 1u);
  EXPECT_LE(result.store->arena.reserved_bytes(), util::Arena::kBlockSize);
}

// True when both loads have the same outcome: the same error, or the same
// messages value by value.
bool same(const LoadResult& a, const LoadResult& b) {
  if (!a.store || !b.store) return !a.store && !b.store && a.error == b.error;
  const auto& x = a.store->messages;
  const auto& y = b.store->messages;
  return std::ranges::equal(x, y, [](const ParsedMessage& m, const ParsedMessage& n) {
    return m.publish_time == n.publish_time &&
           std::ranges::equal(m.market_changes, n.market_changes, json::same_value);
  });
}

// Which lines are kept, their market changes in file order; and the same
// messages however the input is cut among threads.
TEST(LoadMessages, KeepsMarketChangesInFileOrderHoweverTheInputIsCut) {
  // Lines of every kind the loader tells apart, and one long enough to cross
  // many chunks.
  const std::string lines[] = {
      R"({"op":"mcm","pt":10,"mc":[{"id":"1.1","img":true,"rc":[{"id":7,"atb":[[1.5,2]]}]},{"id":"1.2","rc":[]}]})",
      R"({"op":"mcm","pt":11})", "", " \t", "\xC2\xA0", R"({"pt":0,"mc":[{"id":"lost"}]})",
      R"({"id":"1.1","rc":[{"id":1,"trd":[[2,-0.0],[3,"x"]]}],"pt":12,"op":"x","marketDefinition":null})",
      R"([{"pt":13,"mc":[]}])",
      R"({"pt":14,"mc":[{"id":"1.1","marketDefinition":{"name":")" + std::string(5000, 'n') +
          R"(","runners":[{"id":1,"hc":-0.5}]}}]})",
      R"({"pt":15,"mc":[{"id":"1.\u00e9","rc":[{"id":18446744073709551615,"ltp":-3}]}]})",
  };
  std::string stream, expected;
  for (int round = 0; round < 40; ++round) {
    for (const std::string& line : lines) stream += line + (round % 3 == 0 ? "\r\n" : "\n");
    expected += "10:2 12:1 14:1 15:1 ";  // a bare change is the line's one change
  }
  stream += R"({"pt":16,"mc":[]})";  // no final line feed
  const std::pair<std::string, std::string> inputs[] = {
      {stream, expected + "16:0 "}, {"", ""}, {"\n", ""}, {"x\n", "error: expected value at line 1 column 1"}};
  for (const auto& [input, described] : inputs) {
    for (auto encoding : {io::Encoding::kPlain, io::Encoding::kGzip}) {
      const std::string data = encoded(input, encoding);
      // In one chunk on the calling thread alone: the reference.
      LoadResult reference = load(data, encoding, {.chunk_size = input.size() + 1, .threads = 1});
      EXPECT_EQ(describe(reference), described) << name_of(encoding);
      EXPECT_EQ(streamed(data, encoding), described) << name_of(encoding);
      for (unsigned threads : {1u, 2u, 4u}) {
        for (std::size_t chunk_size : {1ul, 7ul, 64ul, 1000ul, 65536ul}) {
          EXPECT_TRUE(same(reference, load(data, encoding, {chunk_size, threads})))
              << input.size() << " bytes, " << name_of(encoding) << ", " << threads << " threads, chunks of "
              << chunk_size;
        }
      }
    }
  }
}

// A list of messages longer than a huge page grows out of the heap into huge
// pages, whole and in order; a load stops at its decoded-size limit, one byte
// past it and not before, and when asked to, keeping nothing either way.
TEST(ParallelLoad, AHugeListIsKeptWholeAndTheSizeLimitAndAnInterruptionEndTheLoad) {
  constexpr int kMessages = 300'000;  // 7 MB of list
  std::string stream;
  for (int i = 1; i <= kMessages; ++i) stream += R"({"pt":)" + std::to_string(i) + R"(,"mc":[]})" "\n";
  for (unsigned threads : {1u, 2u}) {
    LoadResult loaded = load(stream, io::Encoding::kPlain, {65536, threads});
    ASSERT_TRUE(loaded.store) << loaded.error;
    const auto& messages = loaded.store->messages;
    ASSERT_EQ(messages.size(), static_cast<std::size_t>(kMessages));
    for (int i = 0; i < kMessages; ++i) ASSERT_EQ(messages[i].publish_time, i + 1) << threads;
  }
  stream.resize(stream.find(R"({"pt":20001,)"));
  for (auto encoding : {io::Encoding::kPlain, io::Encoding::kGzip}) {
    const std::string data = encoded(stream, encoding);
    EXPECT_TRUE(load(data, encoding, {.chunk_size = 4096, .max_decoded_bytes = stream.size()}).store);
    LoadResult over = load(data, encoding, {.chunk_size = 4096, .max_decoded_bytes = stream.size() - 1});
    EXPECT_EQ(std::make_tuple(over.store == nullptr, over.error, over.interrupted),
              std::make_tuple(true, io::texts::decoded_limit(stream.size() - 1), false));
    int asked = 0;
    LoadResult stopped = load(data, encoding, {.chunk_size = 4096, .interrupted = [&] { return ++asked == 3; }});
    EXPECT_EQ(std::make_tuple(stopped.store == nullptr, stopped.error, stopped.interrupted, asked),
              std::make_tuple(true, std::string(), true, 3));
    EXPECT_EQ(streamed(data, encoding, {.max_decoded_bytes = stream.size() - 1}), "error: " + over.error);
    asked = 0;
    EXPECT_EQ(streamed(data, encoding, {.interrupted = [&] { return ++asked == 3; }}), "interrupted");
    EXPECT_EQ(asked, 3);
  }
}

// Of several failures, the one earliest in the file wins, however the input
// is cut and parsed: bad lines (line i fails at column 20 + i % 7) and a
// gzip member cut short or with a wrong CRC.
TEST(ParallelLoad, TheFirstBadLineOrCorruptGzipStreamInTheFileWins) {
  const std::string good = R"({"pt":5,"mc":[{"id":"1.1","rc":[{"id":3,"atl":[[4.4,1]]}]}]})";
  auto make = [&](std::vector<int> bad, std::size_t* first_start = nullptr) {
    std::string data;
    for (int i = 0; i < 3000; ++i) {
      bool is_bad = std::ranges::find(bad, i) != bad.end();
      if (is_bad && first_start != nullptr && *first_start == 0) *first_start = data.size();
      data += (is_bad ? R"({"pt":1,"mc":[)" + std::string(5 + i % 7, ' ') + "}" : good) + "\n";
    }
    return data;
  };
  const std::string column = "expected value at line 1 column ";
  std::size_t start = 0;
  const std::string several = make({1000, 1001, 2000, 2999}, &start);
  const std::string tail = make({}).substr(0, 2000 * (good.size() + 1));
  // (text, a gzip member of it cut to this part of its size (0: its CRC is
  // wrong; -1: the text plain), the load's error)
  const std::tuple<std::string, double, std::string> cases[] = {
      {several, -1, column + "26"},  // line 1000's
      {make({2999}), -1, column + "23"},
      {make({0}), -1, column + "20"},
      {make({}), -1, "loaded"},
      {several, 1, column + "26"},
      // The bad line is decoded before the damage is found.
      {several + tail, 0.9, column + "26"},
      {make({1000}), 0, column + "26"},
      // The damage comes first: what follows it is never seen.
      {tail + tail + several, 0.5, "unexpected end of file"},
      {tail, 0, "corrupt gzip stream does not have a matching checksum"},
  };
  for (const auto& [text, cut, error] : cases) {
    std::string data = cut < 0 ? text : gzip_member(text, {.crc_delta = cut == 0 ? 1u : 0u});
    if (cut > 0) data.resize(static_cast<std::size_t>(static_cast<double>(data.size()) * cut));
    auto encoding = cut >= 0 ? io::Encoding::kGzip : io::Encoding::kPlain;
    for (unsigned threads : {1u, 2u, 4u}) {
      for (std::size_t chunk_size : {1ul, 100ul, 4096ul, LoadOptions::kDefaultChunkSize}) {
        LoadResult result = load(data, encoding, {chunk_size, threads});
        EXPECT_EQ(result.store ? "loaded" : result.error, error)
            << text.size() << " " << cut << " " << threads << " " << chunk_size;
      }
    }
    const std::string read = streamed(data, encoding);
    EXPECT_EQ(read.starts_with("error: ") ? read.substr(7) : "loaded", error) << text.size() << " " << cut;
  }
  // The first chunk ends just before, inside or just after the first bad line
  // (27 bytes with its line feed).
  for (std::size_t chunk_size : {start - 1, start, start + 1, start + 26, start + 27, start + 28}) {
    EXPECT_EQ(load(several, io::Encoding::kPlain, {chunk_size, 2}).error, column + "26") << chunk_size;
  }
}

}  // namespace
}  // namespace marrowfin::load
