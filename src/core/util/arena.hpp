// Bump allocator for the values of a whole stream file: no allocation per node,
// everything freed at once. A mark/rollback pair frees the values of a line
// that turns out not to be kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "core/util/huge_pages.hpp"

namespace marrowfin::util {

class Arena {
 public:
  // A block is one transparent huge page where the system offers them: a
  // whole file's values fault in a few pages instead of tens of thousands.
  static constexpr std::size_t kBlockSize = kHugePage;
  // Except an arena's first blocks: a huge page is resident whole from its
  // first byte, and the last block's unused part would weigh on a small
  // file. Those blocks, in small pages, are kept from arena to arena (as
  // many as the last arena used, eight per process at most), so that a load
  // of many small files does not fault them in 4 KiB at a time for every
  // file.
  static constexpr std::size_t kSmallBlocks = 4;

  // The blocks kept for the next arena, resident meanwhile.
  static std::size_t shelved_blocks() noexcept;

  Arena() = default;
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Uninitialised storage for `count` objects of a trivially destructible T.
  // Throws std::bad_alloc when memory runs out.
  template <class T>
  T* allocate(std::size_t count) {
    static_assert(alignof(T) <= alignof(std::max_align_t));
    std::size_t bytes = count * sizeof(T);
    std::size_t start = (used_ + alignof(T) - 1) & ~(alignof(T) - 1);
    if (start <= current_size_ && bytes <= current_size_ - start) [[likely]] {
      used_ = start + bytes;
      return reinterpret_cast<T*>(current_ + start);
    }
    return static_cast<T*>(allocate_bytes(bytes));
  }

  struct Mark {
    std::size_t block;
    std::size_t used;
  };
  Mark mark() const noexcept { return {blocks_.size(), used_}; }
  // Frees everything allocated since `mark` (one freed block may be kept for
  // reuse; it does not count as reserved).
  void rollback(Mark mark) noexcept;

  // Takes over every block of `other`, which is left empty; this arena goes
  // on allocating where it was. Earlier marks of either arena are void.
  void absorb(Arena& other);

  // Bytes held in blocks, for memory accounting.
  std::size_t reserved_bytes() const noexcept { return reserved_; }

 private:
  // Starts a new block (the current one is full); blocks are max-aligned.
  void* allocate_bytes(std::size_t bytes);

  struct FreeBlock {
    void operator()(std::byte* data) const noexcept;
  };
  struct Block {
    std::unique_ptr<std::byte[], FreeBlock> data;
    std::size_t size;
    bool huge = false;  // in huge pages
  };
  // A block of `size` bytes, aligned to kBlockSize. Throws std::bad_alloc.
  Block new_block(std::size_t size) const;
  std::vector<Block> blocks_;
  // The last block a rollback freed, kept for the next one needed: a run of
  // skipped lines at a block boundary would otherwise allocate and free a
  // block per line.
  Block spare_{};
  std::size_t used_ = 0;  // bytes used in blocks_.back()
  // blocks_.back(), or nothing.
  std::byte* current_ = nullptr;
  std::size_t current_size_ = 0;
  std::size_t reserved_ = 0;
};

}  // namespace marrowfin::util
