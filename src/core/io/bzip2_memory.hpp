// libbz2's working memory, kept from one stream or block to the next.
#pragma once

#include <bzlib.h>

#include <vector>

#include "core/util/page_buffer.hpp"

namespace marrowfin::io {

// libbz2 takes the same two blocks for every stream or block of a level (its
// state and the block's transform, 3.6 MB at level 9). They are kept for the
// next one instead of being freed, in pages of their own (see PageBuffer),
// and once this ends they wait on a shelf of the process for the next file's
// decoder (8 MiB, two decoders' worth at level 9): fresh, the transform's
// pages fault in and are zeroed anew for every file, 3% of the CPU time of a
// month's runner table. One thread at a time; the shelf is shared.
class Bzip2Memory {
 public:
  Bzip2Memory() = default;
  ~Bzip2Memory() { shelve(); }
  Bzip2Memory(const Bzip2Memory&) = delete;
  Bzip2Memory& operator=(const Bzip2Memory&) = delete;

  // Makes `z`, before BZ2_bzDecompressInit, take its memory from here.
  void lend_to(bz_stream& z) noexcept;
  // Puts its blocks on the shelf, whose oldest make room, or frees them.
  void shelve() noexcept;

 private:
  static void* allocate(void* opaque, int items, int size) noexcept;
  static void release(void* opaque, void* data) noexcept;

  struct Block {
    util::PageBuffer pages;
    bool used = false;
  };
  std::vector<Block> blocks_;
};

}  // namespace marrowfin::io
