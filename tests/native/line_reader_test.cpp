#include "parse/line_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace marrowfin::parse {
namespace {

class ChunkSource final : public ByteSource {
 public:
  ChunkSource(std::string data, std::size_t chunk, bool fail_at_end = false)
      : data_(std::move(data)), chunk_(chunk), fail_at_end_(fail_at_end) {}
  ReadResult read(char* out, std::size_t capacity) override {
    if (pos_ == data_.size() && fail_at_end_) return {0, "Is a directory (os error 21)"};
    std::size_t n = std::min({capacity, chunk_, data_.size() - pos_});
    std::memcpy(out, data_.data() + pos_, n);
    pos_ += n;
    return {n, {}};
  }

 private:
  std::string data_;
  std::size_t chunk_;
  bool fail_at_end_;
  std::size_t pos_ = 0;
};

constexpr std::size_t kPadding = 33;

std::vector<std::string> split(const std::string& data, std::size_t chunk) {
  ChunkSource source(data, chunk);
  LineReader reader(source, kPadding);
  std::vector<std::string> lines;
  LineReader::Line line;
  while (reader.next(line)) {
    lines.emplace_back(line.data, line.size);
    // The line may be marked at its end and read past.
    line.data[line.size] = '\0';
    volatile char last = line.data[line.size + kPadding - 1];
    (void)last;
  }
  EXPECT_EQ(reader.error(), "");
  return lines;
}

using Lines = std::vector<std::string>;

TEST(LineReader, LineEnds) {
  const struct {
    std::string data;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"\n", {""}},
      {"a", {"a"}},
      {"a\nb", {"a", "b"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\r\n", {"a\r"}},
      {"\r\n", {""}},
      {"a\rb\n", {"a\rb"}},
      {"a\r", {"a\r"}},  // no line feed removed, so the carriage return stays
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {1ul, 2ul, 1ul << 20}) {
      EXPECT_EQ(split(c.data, chunk), c.lines) << testing::PrintToString(c.data) << chunk;
    }
  }
}

TEST(LineReader, LinesLongerThanTheBufferAreReadWhole) {
  std::string longest(3 * LineReader::kBufferSize + 5, 'x');
  std::string data = "short\n" + longest + "\n" + longest + "y\nz";
  for (std::size_t chunk : {4093ul, 1ul << 20}) {
    Lines lines = split(data, chunk);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "short");
    EXPECT_TRUE(lines[1] == longest);
    EXPECT_TRUE(lines[2] == longest + "y");
    EXPECT_EQ(lines[3], "z");
  }
  // A line that exactly fills the buffer, with and without its line feed.
  std::string exact(LineReader::kBufferSize, 'e');
  EXPECT_TRUE(split(exact, 1 << 20) == Lines{exact});
  EXPECT_TRUE(split(exact + "\n", 1 << 20) == Lines{exact});
}

TEST(LineReader, ReadFailureEndsTheLinesWithItsText) {
  ChunkSource source("a\nb", 1, true);
  LineReader reader(source, kPadding);
  LineReader::Line line;
  ASSERT_TRUE(reader.next(line));
  EXPECT_EQ(std::string(line.data, line.size), "a");
  // The partial last line is not a line: the read failed before its end.
  EXPECT_FALSE(reader.next(line));
  EXPECT_EQ(reader.error(), "Is a directory (os error 21)");
  EXPECT_FALSE(reader.next(line));
}

}  // namespace
}  // namespace marrowfin::parse
