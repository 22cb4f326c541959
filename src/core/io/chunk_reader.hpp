// Cuts a byte stream into chunks of whole lines, so that each chunk can be
// parsed on its own (on any thread), and splits a chunk into its lines.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "core/io/byte_source.hpp"

namespace marrowfin::io {

// A buffer of whole lines. After `size` bytes of lines come at least
// `padding` more (zeroed when the buffer was made) that parsers may write
// the first of and read.
struct Chunk {
  std::unique_ptr<char[]> data;
  std::size_t capacity = 0;  // bytes of lines it can hold, padding excluded
  std::size_t size = 0;
};

// Reads `source` into chunks of about `chunk_size` bytes, each ending at a
// line feed, except the last chunk of the input, whose last line may lack
// one. A line longer than a chunk makes its chunk grow: lines have no
// length limit.
//
// The source is always asked for blocks of kReadBlock bytes, whatever the
// chunk size: how much a decoder yields before it finds a fault may depend
// on the room it is given, and the outcome of a load must not depend on how
// it was cut.
class ChunkReader {
 public:
  static constexpr std::size_t kReadBlock = std::size_t{128} << 10;

  ChunkReader(ByteSource& source, std::size_t chunk_size, std::size_t padding);

  // Fills `chunk` with the next lines, reusing its buffer when it is large
  // enough. False at the end of the input or when the source fails; then
  // error() is set, and the partial line before the failure was dropped
  // (every line ended before it came in a chunk first). Throws only
  // std::bad_alloc.
  [[nodiscard]] bool next(Chunk& chunk);
  const std::string& error() const noexcept { return error_; }

 private:
  // Fills chunk[size, capacity) until it is full or the input ends.
  void fill(Chunk& chunk);
  void grow(Chunk& chunk, std::size_t capacity) const;
  bool exhausted() const noexcept { return at_end_ && block_pos_ == block_end_; }

  ByteSource& source_;
  std::size_t chunk_size_;
  std::size_t padding_;
  std::unique_ptr<char[]> block_;  // the last block read: [block_pos_, block_end_) unused
  std::size_t block_pos_ = 0;
  std::size_t block_end_ = 0;
  std::string carry_;  // the start of a line that the last chunk cut off
  bool at_end_ = false;  // the source has nothing more
  std::string error_;
};

// The lines of a chunk in turn. A line ends at a line feed or at the end of
// the chunk; the line feed, and then one carriage return directly before it,
// are not part of the line. A lone carriage return is no line end.
class LineCursor {
 public:
  LineCursor(char* data, std::size_t size) noexcept : next_(data), end_(data + size) {}

  // False when the lines are used up.
  bool next(char*& line, std::size_t& size) noexcept {
    if (next_ == end_) return false;
    line = next_;
    auto* feed = static_cast<char*>(std::memchr(next_, '\n', static_cast<std::size_t>(end_ - next_)));
    if (feed == nullptr) {
      size = static_cast<std::size_t>(end_ - next_);
      next_ = end_;
      return true;
    }
    size = static_cast<std::size_t>(feed - next_);
    if (size > 0 && line[size - 1] == '\r') --size;
    next_ = feed + 1;
    return true;
  }

 private:
  char* next_;
  char* end_;
};

}  // namespace marrowfin::io
