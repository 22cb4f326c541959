#include "core/io/chunk_reader.hpp"

#include <algorithm>
#include <cstring>

namespace marrowfin::io {

ChunkReader::ChunkReader(ByteSource& source, std::size_t chunk_size, std::size_t padding)
    : source_(source),
      chunk_size_(std::max<std::size_t>(chunk_size, 1)),
      padding_(padding),
      block_(new char[kReadBlock]) {}

void ChunkReader::grow(Chunk& chunk, std::size_t capacity) const {
  std::unique_ptr<char[]> grown(new char[capacity + padding_]());
  if (chunk.size != 0) std::memcpy(grown.get(), chunk.data.get(), chunk.size);
  chunk.data = std::move(grown);
  chunk.capacity = capacity;
}

void ChunkReader::fill(Chunk& chunk) {
  while (chunk.size < chunk.capacity) {
    if (block_pos_ == block_end_) {
      if (at_end_) return;
      // Where a whole block fits it is read in place, not copied.
      bool in_place = chunk.capacity - chunk.size >= kReadBlock;
      char* into = in_place ? chunk.data.get() + chunk.size : block_.get();
      ReadResult result = source_.read(into, kReadBlock);
      if (!result.error.empty()) error_ = std::move(result.error);
      at_end_ = result.size == 0 || !error_.empty();
      if (in_place) {
        chunk.size += result.size;
      } else {
        block_pos_ = 0;
        block_end_ = result.size;
      }
      continue;
    }
    std::size_t n = std::min(block_end_ - block_pos_, chunk.capacity - chunk.size);
    std::memcpy(chunk.data.get() + chunk.size, block_.get() + block_pos_, n);
    block_pos_ += n;
    chunk.size += n;
  }
}

bool ChunkReader::next(Chunk& chunk) {
  chunk.size = 0;
  std::size_t wanted = std::max(chunk_size_, carry_.size() * 2);
  if (!chunk.data || chunk.capacity < wanted) {
    chunk.data.reset();  // the old buffer need not live beside the new one
    grow(chunk, wanted);
  }
  if (!carry_.empty()) std::memcpy(chunk.data.get(), carry_.data(), carry_.size());
  chunk.size = carry_.size();
  std::size_t scanned = carry_.size();  // the carried bytes hold no line feed
  carry_.clear();
  for (;;) {
    fill(chunk);
    const char* data = chunk.data.get();
    if (const auto* feed = static_cast<const char*>(
            memrchr(data + scanned, '\n', chunk.size - scanned))) {
      std::size_t end = static_cast<std::size_t>(feed - data) + 1;
      carry_.assign(data + end, chunk.size - end);
      chunk.size = end;
      return true;
    }
    if (exhausted()) {
      // Without a failure the rest is the last line; with one, the rest of
      // a line cut short by it, which is not a line.
      if (!error_.empty()) chunk.size = 0;
      return chunk.size != 0;
    }
    scanned = chunk.size;  // full, and one line fills it all
    grow(chunk, chunk.capacity * 2);
  }
}

}  // namespace marrowfin::io
