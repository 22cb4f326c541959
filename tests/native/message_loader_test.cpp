// Reading a stream file: the file, its lines, UTF-8 and blank lines, and
// which messages are kept.
#include "core/parse/message_loader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/parse/byte_source.hpp"
#include "core/parse/line_reader.hpp"
#include "core/parse/utf8.hpp"
#include "test_support.hpp"

namespace marrowfin::parse {
namespace {

using namespace std::string_view_literals;
using Lines = std::vector<std::string>;

// The lines of `data` read in `chunk`-byte pieces. Each line may be written
// at its end and read up to the end of its padding.
constexpr std::size_t kPadding = 33;
Lines split(const std::string& data, std::size_t chunk) {
  ChunkedSource source(data, chunk);
  LineReader reader(source, kPadding);
  Lines lines;
  for (LineReader::Line line; reader.next(line);) {
    lines.emplace_back(line.data, line.size);
    line.data[line.size] = '\0';
    volatile char last = line.data[line.size + kPadding - 1];
    (void)last;
  }
  EXPECT_EQ(reader.error(), "");
  return lines;
}

TEST(LineReader, LineEndsAndReadFailure) {
  const std::string longest(3 * LineReader::kBufferSize + 5, 'x');
  const std::string exact(LineReader::kBufferSize, 'e');
  const struct {
    std::string data;
    Lines lines;
  } cases[] = {
      {"", {}},          {"\n", {""}},          {"a", {"a"}},          {"a\n\nb\n", {"a", "", "b"}},
      {"\r\n", {""}},    {"a\r\nb\r\n", {"a", "b"}}, {"a\r\r\n", {"a\r"}}, {"a\rb\n", {"a\rb"}},
      {"a\r", {"a\r"}},  // no line feed removed, so the carriage return stays
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
      // Lines longer than the buffer, and one that exactly fills it.
      {"short\n" + longest + "\n" + longest + "y\nz", {"short", longest, longest + "y", "z"}},
      {exact, {exact}},
      {exact + "\n", {exact}},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {1ul, 4093ul, 1ul << 20}) {
      EXPECT_TRUE(split(c.data, chunk) == c.lines) << testing::PrintToString(c.data.substr(0, 9));
    }
  }
  // A read failure ends the lines with its text; the partial last line is
  // not a line, as the read failed before its end.
  ChunkedSource source("a\nb", 1, 3);
  LineReader reader(source, kPadding);
  LineReader::Line line;
  EXPECT_TRUE(reader.next(line) && std::string(line.data, line.size) == "a");
  EXPECT_FALSE(reader.next(line) || reader.next(line));
  EXPECT_EQ(reader.error(), "Input/output error (os error 5)");
}

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
  auto check = [](std::string_view text, bool ok) {
    EXPECT_EQ(is_valid_utf8(text), ok) << testing::PrintToString(text);
    for (std::size_t pad = 1; pad < 40; pad += 7) {
      std::string before = std::string(pad, 'a') + std::string(text);
      EXPECT_EQ(is_valid_utf8(before), ok) << pad;
      EXPECT_EQ(is_valid_utf8(before + std::string(pad, 'b')), ok) << pad;
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
  for (std::string_view text : blank) EXPECT_TRUE(is_blank(text)) << text;
  for (std::string_view text : not_blank) EXPECT_FALSE(is_blank(text)) << text;
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
    Encoding encoding;
    std::string data;
    const char* suffix;
  } files[] = {{Encoding::kPlain, stream, ".txt"},
               {Encoding::kGzip, gzip_member(stream), ".gz"},
               {Encoding::kBzip2, bzip2_stream(stream), ".bz2"}};
  for (const auto& f : files) {
    char name[] = "/tmp/marrowfin_loader_XXXXXX";
    ::close(mkstemp(name));
    std::remove(name);
    std::string path = name + std::string(f.suffix);
    std::ofstream(path, std::ios::binary) << f.data;
    for (auto backend : {Inflater::Backend::kZlib, Inflater::default_backend()}) {
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
  auto backend = Inflater::default_backend();
  auto plain = Encoding::kPlain;
  LoadResult result = load_messages_from_bytes(skipped + R"({"pt":1,"mc":[]})", plain, backend);
  ASSERT_TRUE(result.store);
  EXPECT_EQ(result.store->messages.size(), 1u);
  EXPECT_LE(result.store->arena.reserved_bytes(), Arena::kBlockSize);
  EXPECT_EQ(describe(load_messages_from_bytes(skipped + R"({"pt":1,"mc":[})", plain, backend)),
            "error: expected value at line 1 column 15");
}

}  // namespace
}  // namespace marrowfin::parse
