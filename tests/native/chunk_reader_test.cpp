// Cutting a byte stream into chunks of whole lines, and the lines of a chunk.
#include "core/io/chunk_reader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/load/message_loader.hpp"
#include "test_support.hpp"

namespace marrowfin::io {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests\' helpers

using Lines = std::vector<std::string>;

// The lines of `data`, served in `piece`-byte reads and cut into chunks of
// about `chunk_size` bytes. Each line may be written just after its end and
// read up to the end of its padding.
constexpr std::size_t kPadding = 33;
Lines split(const std::string& data, std::size_t piece, std::size_t chunk_size) {
  ChunkedSource source(data, piece);
  ChunkReader reader(source, chunk_size, kPadding);
  Lines lines;
  Chunk chunk;
  bool last_had_feed = true;
  while (reader.next(chunk)) {
    EXPECT_TRUE(last_had_feed) << "only the last chunk may end without a line feed";
    EXPECT_GT(chunk.size, 0u);
    last_had_feed = chunk.data[chunk.size - 1] == '\n';
    LineCursor cursor(chunk.data.get(), chunk.size);
    char* line = nullptr;
    std::size_t size = 0;
    while (cursor.next(line, size)) {
      lines.emplace_back(line, size);
      line[size] = '\0';
      volatile char last = line[size + kPadding - 1];
      (void)last;
    }
  }
  EXPECT_EQ(reader.error(), "");
  return lines;
}

TEST(ChunkReader, LineEndsAnywhereAcrossChunks) {
  const std::string longest(3 * load::LoadOptions::kDefaultChunkSize + 5, 'x');
  const std::string exact(load::LoadOptions::kDefaultChunkSize, 'e');
  const struct {
    std::string data;
    Lines lines;
  } cases[] = {
      {"", {}},          {"\n", {""}},          {"a", {"a"}},          {"a\n\nb\n", {"a", "", "b"}},
      {"\r\n", {""}},    {"a\r\nb\r\n", {"a", "b"}}, {"a\r\r\n", {"a\r"}}, {"a\rb\n", {"a\rb"}},
      {"a\r", {"a\r"}},  // no line feed removed, so the carriage return stays
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
      // Lines longer than a chunk, and one that exactly fills it.
      {"short\n" + longest + "\n" + longest + "y\nz", {"short", longest, longest + "y", "z"}},
      {exact, {exact}},
      {exact + "\n", {exact}},
      {"\n" + exact + "\n\n", {"", exact, ""}},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {1ul, 4093ul, 1ul << 20}) {
      for (std::size_t chunk_size : {1ul, 2ul, 5ul, 4096ul, load::LoadOptions::kDefaultChunkSize}) {
        if (piece == 1 && c.data.size() > 100000) continue;  // slow, and nothing new
        EXPECT_TRUE(split(c.data, piece, chunk_size) == c.lines)
            << testing::PrintToString(c.data.substr(0, 9)) << " " << piece << " " << chunk_size;
      }
    }
  }
}

// What a decoder yields before it finds a fault may depend on the room it is
// given (ISA-L's does), so the source sees the same reads however the lines
// are cut.
TEST(ChunkReader, TheSourceSeesTheSameReadsWhateverTheChunkSize) {
  class Recording final : public ByteSource {
   public:
    explicit Recording(std::string data) : inner_(std::move(data), 5000) {}
    ReadResult read(char* out, std::size_t capacity) override {
      requests.push_back(capacity);
      return inner_.read(out, capacity);
    }
    std::vector<std::size_t> requests;

   private:
    ChunkedSource inner_;
  };
  std::string data;
  for (int i = 0; i < 40000; ++i) data += std::to_string(i) + (i % 100 == 0 ? "\n" : " ");
  std::vector<std::size_t> first;
  for (std::size_t chunk_size : {1ul, 777ul, 65536ul, 1ul << 20}) {
    Recording source(data);
    ChunkReader reader(source, chunk_size, kPadding);
    std::string joined;
    for (Chunk chunk; reader.next(chunk);) joined.append(chunk.data.get(), chunk.size);
    EXPECT_EQ(joined, data);
    if (first.empty()) first = source.requests;
    EXPECT_EQ(source.requests, first) << chunk_size;
  }
  EXPECT_GT(first.size(), 10u);
}

}  // namespace
}  // namespace marrowfin::io
