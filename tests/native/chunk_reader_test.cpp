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
// about `chunk_size` bytes, and the room asked for in each read. Each line
// may be written just after its end and read up to the end of its padding.
constexpr std::size_t kPadding = 33;
std::pair<Lines, std::vector<std::size_t>> split(const std::string& data, std::size_t piece, std::size_t chunk_size) {
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
  return {lines, source.requests};
}

// What a decoder yields before it finds a fault may depend on the room it is
// given (ISA-L's does), so the source sees the same reads however the lines
// are cut.
TEST(ChunkReader, LineEndsAnywhereAcrossChunksAndTheSourceSeesTheSameReads) {
  const std::string longest(3 * load::LoadOptions::kDefaultChunkSize + 5, 'x');
  const std::string exact(load::LoadOptions::kDefaultChunkSize, 'e');
  std::string many;  // lines of every length up to 300 bytes
  Lines many_lines;
  for (int i = 0; many.size() < 300000; ++i) many += many_lines.emplace_back(i % 301, 'm') + "\n";
  const std::pair<std::string, Lines> cases[] = {
      {"", {}},          {"\n", {""}},          {"a", {"a"}},          {"a\n\nb\n", {"a", "", "b"}},
      {"\r\n", {""}},    {"a\r\nb\r\n", {"a", "b"}}, {"a\r\r\n", {"a\r"}}, {"a\rb\n", {"a\rb"}},
      {"a\r", {"a\r"}},  // no line feed removed, so the carriage return stays
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
      // Lines longer than a chunk, and one that exactly fills it.
      {"short\n" + longest + "\n" + longest + "y\nz", {"short", longest, longest + "y", "z"}},
      {exact, {exact}},
      {exact + "\n", {exact}},
      {"\n" + exact + "\n\n", {"", exact, ""}},
      {many, many_lines},
  };
  for (const auto& [data, expected] : cases) {
    for (std::size_t piece : {1ul, 4093ul, 1ul << 20}) {
      if (piece == 1 && data.size() > 100000) continue;  // slow, and nothing new
      std::vector<std::size_t> first;
      for (std::size_t chunk_size : {1ul, 2ul, 5ul, 4096ul, load::LoadOptions::kDefaultChunkSize}) {
        auto [lines, requests] = split(data, piece, chunk_size);
        EXPECT_TRUE(lines == expected) << testing::PrintToString(data.substr(0, 9)) << " " << piece << " "
                                      << chunk_size;
        if (first.empty()) first = requests;
        EXPECT_EQ(requests, first) << testing::PrintToString(data.substr(0, 9)) << " " << chunk_size;
      }
    }
  }
}

}  // namespace
}  // namespace marrowfin::io
