// Reading a stream file: the file, its lines, UTF-8 and blank lines, and
// which messages are kept.
#include "core/load/message_loader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/io/byte_source.hpp"
#include "core/io/error_texts.hpp"
#include "core/json/utf8.hpp"
#include "test_support.hpp"

namespace marrowfin::load {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests\' helpers

using namespace std::string_view_literals;

TEST(Utf8, ValidMalformedAndBlankText) {
  const std::string_view valid[] = {
      ""sv, "plain ascii with a NUL \0 inside"sv, "\xC2\x80 \xDF\xBF \xE2\x82\xAC \xEF\xBF\xBF"sv,
      "\xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80"sv,  // around the surrogates
      "\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"sv,       // U+10000, U+10FFFF
  };
  const std::string_view invalid[] = {
      "\x80"sv, "\xFF"sv, "\xF5\x80\x80\x80"sv,                            // no lead byte
      "\xC0\x80"sv, "\xC1\xBF"sv, "\xE0\x9F\xBF"sv, "\xF0\x8F\xBF\xBF"sv,  // overlong
      "\xC2"sv, "\xC2\x41"sv, "\xE2\x82"sv, "\xF0\x90\x80"sv,              // cut short
      "\xED\xA0\x80"sv, "\xED\xBF\xBF"sv, "\xF4\x90\x80\x80"sv,            // no scalar value
  };
  // The word-at-a-time path must agree wherever the sequence falls, the very
  // end of the text included.
  // is_ascii, which lets a whole chunk skip the check, likewise.
  auto check = [](std::string_view text, bool ok) {
    const bool ascii = std::ranges::all_of(text, [](char c) { return (c & 0x80) == 0; });
    EXPECT_EQ(json::is_valid_utf8(text), ok) << testing::PrintToString(text);
    for (std::size_t pad = 1; pad < 40; pad += 7) {
      std::string before = std::string(pad, 'a') + std::string(text);
      EXPECT_EQ(json::is_valid_utf8(before), ok) << pad;
      EXPECT_EQ(json::is_valid_utf8(before + std::string(pad, 'b')), ok) << pad;
      EXPECT_EQ(json::is_ascii(before + std::string(pad, 'b')), ascii) << pad;
    }
  };
  for (std::string_view text : valid) check(text, true);
  for (std::string_view text : invalid) check(text, false);

  // Only Unicode White_Space makes a line blank.
  const std::string_view blank[] = {
      ""sv, " \t\n\v\f\r"sv, "\r"sv,
      "\xC2\x85\xC2\xA0\xE1\x9A\x80"sv,                      // U+0085 U+00A0 U+1680
      "\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"sv,  // U+2000 U+200A U+2028 U+2029
      "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"sv,              // U+202F U+205F U+3000
  };
  // Information separators, U+FEFF, U+200B, U+180E, U+2060, U+00A1, U+3001.
  const std::string_view not_blank[] = {
      "x"sv, " {}"sv, "\0"sv, "\x1C"sv, "\xEF\xBB\xBF"sv, "\xE2\x80\x8B"sv,
      "\xE1\xA0\x8E"sv, "\xE2\x81\xA0"sv, "\xC2\xA1"sv, "  \xE3\x80\x81"sv,
  };
  for (std::string_view text : blank) EXPECT_TRUE(json::is_blank(text)) << text;
  for (std::string_view text : not_blank) EXPECT_FALSE(json::is_blank(text)) << text;
}

// "<publish time>:<key names of each change's members>" per message.
std::string describe(const LoadResult& result) {
  if (!result.store) return "error: " + result.error;
  std::string out;
  for (const ParsedMessage& message : result.store->messages) {
    out += std::to_string(message.publish_time) + ":";
    for (const json::Value& change : message.market_changes) {
      out += "{";
      for (const json::Value& m : change.members()) {
        out += std::string(json::key_name(m.key())) + ",";
      }
      out += "}";
    }
    out += " ";
  }
  return out;
}

TEST(LoadMessages, KeepsMarketChangesInFileOrder) {
  const std::string stream =
      R"({"op":"mcm","pt":10,"mc":[{"id":"1.1","img":true},{"id":"1.2","rc":[]}]})" "\n"
      R"({"op":"mcm","pt":11})" "\n\n"
      R"({"pt":0,"mc":[{"id":"lost"}]})" "\n"
      R"({"id":"1.1","rc":[{"id":1}],"pt":12,"op":"x","marketDefinition":null})" "\r\n"
      R"([{"pt":13,"mc":[]}])" "\n"
      R"({"pt":14,"mc":[]})";
  const char* expected =
      "10:{id,img,}{id,rc,} "
      "12:{id,marketDefinition,pt,rc,} "  // a bare change: the whole line object
      "14: ";
  const struct {
    io::Encoding encoding;
    std::string data;
    const char* suffix;
  } files[] = {{io::Encoding::kPlain, stream, ".txt"},
               {io::Encoding::kGzip, gzip_member(stream), ".gz"},
               {io::Encoding::kBzip2, bzip2_stream(stream), ".bz2"}};
  for (const auto& f : files) {
    char name[] = "/tmp/marrowfin_loader_XXXXXX";
    ::close(mkstemp(name));
    std::remove(name);
    std::string path = name + std::string(f.suffix);
    std::ofstream(path, std::ios::binary) << f.data;
    for (auto backend : {io::Inflater::Backend::kZlib, io::Inflater::default_backend()}) {
      EXPECT_EQ(describe(load_messages(path, backend)), expected) << f.suffix;
      EXPECT_EQ(describe(load_messages_from_bytes(f.data, f.encoding, backend)), expected)
          << f.suffix;
    }
    std::remove(path.c_str());
  }
}

TEST(LoadMessages, SkippedLinesLeaveNothingInTheArenaAndAFailureKeepsNothing) {
  std::string levels = "[1.5,2]";
  for (int i = 0; i < 200; ++i) levels += ",[1.6,3]";
  std::string skipped;  // 3 MB of values, were they kept
  for (int i = 0; i < 1000; ++i) {
    skipped += R"({"pt":0,"mc":[{"id":"1.1","rc":[{"atb":[)" + levels + "]}]}]}\n";
    skipped += R"({"op":"mcm","pt":5,"clk":"x"})" "\n";
  }
  auto backend = io::Inflater::default_backend();
  auto plain = io::Encoding::kPlain;
  LoadResult result = load_messages_from_bytes(skipped + R"({"pt":1,"mc":[]})", plain, backend);
  ASSERT_TRUE(result.store);
  EXPECT_EQ(result.store->messages.size(), 1u);
  EXPECT_LE(result.store->arena.reserved_bytes(), util::Arena::kBlockSize);
  EXPECT_EQ(describe(load_messages_from_bytes(skipped + R"({"pt":1,"mc":[})", plain, backend)),
            "error: expected value at line 1 column 15");
}

// The whole load of `text` (stored as `data`) in one chunk on the calling
// thread alone: the reference.
io::Encoding encoding_of(bool gzip) { return gzip ? io::Encoding::kGzip : io::Encoding::kPlain; }

LoadResult load_sequentially(const std::string& data, bool gzip, const std::string& text) {
  return load_messages_from_bytes(data, encoding_of(gzip), io::Inflater::default_backend(),
                                  {.chunk_size = text.size() + 1, .threads = 1});
}

// Empty when both loads have the same outcome: the same error, or the same
// messages value by value.
std::string difference(const LoadResult& a, const LoadResult& b) {
  if (!a.store || !b.store) {
    if (a.error == b.error && !a.store && !b.store) return "";
    return "outcomes differ: '" + a.error + "' and '" + b.error + "'";
  }
  const auto& x = a.store->messages;
  const auto& y = b.store->messages;
  if (x.size() != y.size()) {
    return std::to_string(x.size()) + " and " + std::to_string(y.size()) + " messages";
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    bool same = x[i].publish_time == y[i].publish_time &&
                x[i].market_changes.size() == y[i].market_changes.size();
    for (std::size_t j = 0; same && j < x[i].market_changes.size(); ++j) {
      same = json::same_value(x[i].market_changes[j], y[i].market_changes[j]);
    }
    if (!same) return "message " + std::to_string(i) + " differs";
  }
  return "";
}

// Lines of every kind the loader tells apart, and one long enough to cross
// many chunks.
std::string varied_stream() {
  std::string long_name(5000, 'n');
  const std::string lines[] = {
      R"({"op":"mcm","pt":10,"mc":[{"id":"1.1","img":true,"rc":[{"id":7,"atb":[[1.5,2],[1.6,3]]}]}]})",
      R"({"op":"mcm","pt":11})",
      "",
      " \t",
      R"({"pt":0,"mc":[{"id":"lost"}]})",
      R"({"id":"1.1","rc":[{"id":1,"trd":[[2,-0.0],[3,"x"]]}],"pt":12,"marketDefinition":null})",
      R"([{"pt":13,"mc":[]}])",
      R"({"pt":14,"mc":[{"id":"1.1","marketDefinition":{"name":")" + long_name +
          R"(","runners":[{"id":1,"hc":-0.5}]}}]})",
      "\xC2\xA0",  // blank: U+00A0
      R"({"pt":15,"mc":[{"id":"1.\u00e9","rc":[{"id":18446744073709551615,"ltp":-3}]}]})",
  };
  std::string stream;
  for (int round = 0; round < 40; ++round) {
    for (const std::string& line : lines) stream += line + (round % 3 == 0 ? "\r\n" : "\n");
  }
  return stream + R"({"pt":16,"mc":[]})";  // no final line feed
}

TEST(ParallelLoad, TheSameMessagesHoweverTheInputIsCut) {
  const std::string stream = varied_stream();
  const std::string inputs[] = {stream, "", "\n", " \n\r\n", R"({"pt":1,"mc":[]})", "x\n"};
  for (const std::string& input : inputs) {
    for (bool gzip : {false, true}) {
      std::string data = gzip ? gzip_member(input) : input;
      LoadResult reference = load_sequentially(data, gzip, input);
      for (unsigned threads : {1u, 2u, 4u}) {
        for (std::size_t chunk_size : {1ul, 7ul, 64ul, 1000ul, 65536ul}) {
          LoadResult parallel = load_messages_from_bytes(
              data, encoding_of(gzip), io::Inflater::default_backend(), {chunk_size, threads});
          EXPECT_EQ(difference(reference, parallel), "")
              << input.size() << " bytes, gzip " << gzip << ", " << threads << " threads, chunks of "
              << chunk_size;
        }
      }
    }
  }
  ASSERT_EQ(load_sequentially(stream, false, stream).store->messages.size(), 40u * 4 + 1);
}

// A list of messages longer than a huge page grows out of the heap into huge
// pages, whole and in order, on one thread and on several.
TEST(ParallelLoad, AMessageListOfManyHugePagesKeepsEveryMessage) {
  constexpr int kMessages = 300'000;  // 7 MB of list
  std::string stream;
  for (int i = 1; i <= kMessages; ++i) stream += R"({"pt":)" + std::to_string(i) + R"(,"mc":[]})" "\n";
  for (unsigned threads : {1u, 2u}) {
    LoadResult loaded = load_messages_from_bytes(stream, io::Encoding::kPlain,
                                                 io::Inflater::default_backend(), {65536, threads});
    ASSERT_TRUE(loaded.store) << loaded.error;
    const auto& messages = loaded.store->messages;
    ASSERT_EQ(messages.size(), static_cast<std::size_t>(kMessages));
    for (int i = 0; i < kMessages; ++i) ASSERT_EQ(messages[i].publish_time, i + 1) << threads;
  }
}

// A load stops at its decoded-size limit, one byte past it and not before,
// and when asked to, keeping nothing either way; plain and compressed alike.
TEST(ParallelLoad, TheSizeLimitAndAnInterruptionEndTheLoad) {
  std::string stream;
  for (int i = 1; i <= 20'000; ++i) stream += R"({"pt":)" + std::to_string(i) + R"(,"mc":[]})" "\n";
  for (bool gzip : {false, true}) {
    std::string data = gzip ? gzip_member(stream) : stream;
    auto load = [&](LoadOptions options) {
      options.chunk_size = 4096;
      return load_messages_from_bytes(data, encoding_of(gzip), io::Inflater::default_backend(),
                                      options);
    };
    LoadOptions options;
    options.max_decoded_bytes = stream.size();
    EXPECT_TRUE(load(options).store) << gzip;
    options.max_decoded_bytes = stream.size() - 1;
    LoadResult over = load(options);
    EXPECT_EQ(std::make_tuple(over.store == nullptr, over.error, over.interrupted),
              std::make_tuple(true, io::texts::decoded_limit(stream.size() - 1), false));
    EXPECT_EQ(io::texts::decoded_limit(1'234'567),
              "larger than the size limit of 1,234,567 bytes once decoded");
    EXPECT_EQ(io::texts::decoded_limit(std::uint64_t{3} << 30),
              "larger than the size limit of 3 GiB once decoded");
    int asked = 0;
    options = {};
    options.interrupted = [&] { return ++asked == 3; };
    LoadResult stopped = load(options);
    EXPECT_EQ(std::make_tuple(stopped.store == nullptr, stopped.error, stopped.interrupted, asked),
              std::make_tuple(true, std::string(), true, 3));
  }
}

// A line that fails with "expected value at line 1 column <column>".
std::string bad_line(std::size_t column) {
  return R"({"pt":1,"mc":[)" + std::string(column - 15, ' ') + "}";
}

TEST(ParallelLoad, TheFirstBadLineInTheFileWins) {
  const std::string good = R"({"pt":5,"mc":[{"id":"1.1","rc":[{"id":3,"atl":[[4.4,1]]}]}]})";
  // 3000 lines, bad at `bad` (line i fails at column 20 + i % 7); where the
  // first bad line starts and ends.
  struct Stream {
    std::string data;
    std::size_t start = 0, end = 0;
  };
  auto make = [&](std::vector<int> bad) {
    Stream s;
    for (int i = 0; i < 3000; ++i) {
      bool is_bad = std::find(bad.begin(), bad.end(), i) != bad.end();
      if (is_bad && s.end == 0) s.start = s.data.size();
      s.data += (is_bad ? bad_line(20 + static_cast<std::size_t>(i) % 7) : good) + "\n";
      if (is_bad && s.end == 0) s.end = s.data.size();
    }
    return s;
  };
  auto error_of = [](const std::string& input, bool gzip, LoadOptions options) {
    LoadResult result =
        load_messages_from_bytes(input, encoding_of(gzip), io::Inflater::default_backend(), options);
    return result.store ? std::string("loaded") : result.error;
  };
  const Stream several = make({1000, 1001, 2000, 2999});
  const std::string first = "expected value at line 1 column 26";  // line 1000's
  const std::string packed = gzip_member(several.data);
  for (unsigned threads : {1u, 2u, 4u}) {
    for (std::size_t chunk_size : {1ul, 100ul, 4096ul, 65536ul}) {
      EXPECT_EQ(error_of(several.data, false, {chunk_size, threads}), first)
          << threads << " " << chunk_size;
      EXPECT_EQ(error_of(packed, true, {chunk_size, threads}), first)
          << threads << " " << chunk_size;
    }
    // The first chunk ends just before, inside or just after the bad line.
    for (std::size_t chunk_size : {several.start - 1, several.start, several.start + 1,
                                   several.end - 1, several.end, several.end + 1}) {
      EXPECT_EQ(error_of(several.data, false, {chunk_size, threads}), first)
          << threads << " " << chunk_size;
    }
    EXPECT_EQ(error_of(make({2999}).data, false, {4096, threads}),
              "expected value at line 1 column 23");
    EXPECT_EQ(error_of(make({0}).data, false, {4096, threads}),
              "expected value at line 1 column 20");
    EXPECT_EQ(error_of(make({}).data, false, {4096, threads}), "loaded");
  }
}

TEST(ParallelLoad, ABadLineAndACorruptGzipStreamInFileOrder) {
  std::string good;
  for (int i = 0; i < 2000; ++i) good += R"({"pt":)" + std::to_string(i + 1) + R"(,"mc":[]})" "\n";
  const std::string bad = bad_line(20) + "\n";
  const std::string line_error = "expected value at line 1 column 20";
  const struct {
    std::string text;
    double cut;  // the member is cut to this part of its size; 0: its CRC is wrong instead
    std::string error;
  } cases[] = {
      // The bad line is decoded before the damage is found.
      {good + bad + good + good + good, 0.9, line_error},
      {good + bad + good, 0, line_error},
      {bad + good, 0.5, line_error},
      // The damage comes first: what follows it is never seen.
      {good + good + good + bad, 0.5, "unexpected end of file"},
      {good + good, 0.5, "unexpected end of file"},
      {good, 0, "corrupt gzip stream does not have a matching checksum"},
  };
  for (const auto& c : cases) {
    std::string packed = gzip_member(c.text, {.crc_delta = c.cut == 0 ? 1u : 0u});
    if (c.cut != 0) packed.resize(static_cast<std::size_t>(static_cast<double>(packed.size()) * c.cut));
    for (unsigned threads : {1u, 2u, 4u}) {
      for (std::size_t chunk_size : {1ul, 333ul, 4096ul, LoadOptions::kDefaultChunkSize}) {
        LoadResult result = load_messages_from_bytes(packed, io::Encoding::kGzip, io::Inflater::default_backend(),
                                                     {chunk_size, threads});
        EXPECT_EQ(result.store ? "loaded" : result.error, c.error)
            << c.text.size() << " " << c.cut << " " << threads << " " << chunk_size;
      }
    }
  }
}

}  // namespace
}  // namespace marrowfin::load
