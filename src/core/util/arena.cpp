#include "core/util/arena.hpp"

#include <algorithm>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/util/shelf.hpp"

namespace marrowfin::util {

void Arena::FreeBlock::operator()(std::byte* data) const noexcept { std::free(data); }

namespace {

// Room for a load on a few threads, each parsing into an arena of its own.
constexpr std::size_t kShelved = 2 * Arena::kSmallBlocks;

}  // namespace

Arena::~Arena() {
  std::size_t left = 0;
  auto keep = [&left](Block& block) {
    if (block.data && !block.huge && block.size == kBlockSize) {
#ifndef NDEBUG
      // A block taken holds what it held: no reader may count on zeros.
      std::memset(block.data.get(), 0xA5, block.size);
#endif
      Shelf<Block, kShelved>::get().leave(block);
      ++left;
    }
  };
  // The shelf hands out its newest first: the block filled first is left
  // last, so that the next arena fills its blocks in the same order and
  // touches no page of them that this one did not (taken the other way,
  // every block ends up resident whole).
  keep(spare_);
  for (auto block = blocks_.rbegin(); block != blocks_.rend(); ++block) keep(*block);
  // Only as many as this arena used: blocks that a smaller load leaves
  // unused would stay resident beside it, and a worker's memory would be
  // that of its largest loads put together.
  if (left != 0) Shelf<Block, kShelved>::get().keep_newest(left);
}

std::size_t Arena::shelved_blocks() noexcept { return Shelf<Block, kShelved>::get().size(); }

Arena::Block Arena::new_block(std::size_t size) const {
  bool huge = reserved_ >= kSmallBlocks * kBlockSize;
  if (!huge && size == kBlockSize) {
    Block kept = Shelf<Block, kShelved>::get().take();
    if (kept.data) return kept;
  }
  return {std::unique_ptr<std::byte[], FreeBlock>(
              static_cast<std::byte*>(allocate_huge_pages(size, huge))),
          size, huge};
}

void* Arena::allocate_bytes(std::size_t bytes) {
  // Large requests get a block of their own; the rest share kBlockSize blocks.
  std::size_t size = std::max(bytes, kBlockSize);
  if (spare_.data && spare_.size >= size) {
    blocks_.push_back(std::move(spare_));
    spare_ = {};
    size = blocks_.back().size;
  } else {
    blocks_.push_back(new_block(size));
  }
  reserved_ += size;
  used_ = bytes;
  current_ = blocks_.back().data.get();
  current_size_ = blocks_.back().size;
  return current_;
}

void Arena::absorb(Arena& other) {
  if (other.blocks_.empty()) return;
  // The current block stays last, as allocation goes on in it.
  blocks_.reserve(blocks_.size() + other.blocks_.size());
  auto at = blocks_.empty() ? blocks_.end() : blocks_.end() - 1;
  blocks_.insert(at, std::make_move_iterator(other.blocks_.begin()),
                 std::make_move_iterator(other.blocks_.end()));
  reserved_ += other.reserved_;
  if (current_ == nullptr) {
    used_ = other.used_;
    current_ = other.current_;
    current_size_ = other.current_size_;
  }
  other.blocks_.clear();
  other.spare_ = {};
  other.used_ = 0;
  other.current_ = nullptr;
  other.current_size_ = 0;
  other.reserved_ = 0;
}

void Arena::rollback(Mark mark) noexcept {
  while (blocks_.size() > mark.block) {
    reserved_ -= blocks_.back().size;
    if (blocks_.back().size == kBlockSize) spare_ = std::move(blocks_.back());
    blocks_.pop_back();
  }
  used_ = mark.used;
  current_ = blocks_.empty() ? nullptr : blocks_.back().data.get();
  current_size_ = blocks_.empty() ? 0 : blocks_.back().size;
}

}  // namespace marrowfin::util
