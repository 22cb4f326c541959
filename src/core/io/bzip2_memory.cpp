#include "core/io/bzip2_memory.hpp"

#include <cstddef>
#include <iterator>
#include <mutex>
#include <new>
#include <utility>

namespace marrowfin::io {
namespace {

// Two decoders' blocks at level 9, with room to spare.
constexpr std::size_t kShelfBytes = std::size_t{8} << 20;

// Taken only when free (try_lock): a process forked by another thread while
// this one held it would otherwise hang on its first bzip2 file; a busy shelf
// costs only a fresh block.
struct Shelf {
  std::mutex mutex;
  std::vector<util::PageBuffer> blocks;
  std::size_t bytes = 0;
};

// Never destroyed (a decoder may end after exit's destructors), and made in
// place, so that shelving never throws.
Shelf& shelf() noexcept {
  alignas(Shelf) static std::byte storage[sizeof(Shelf)];
  static Shelf* shelf = new (storage) Shelf;
  return *shelf;
}

// A shelved block of `bytes`, the one shelved last (its pages the likeliest
// in cache), or an empty buffer.
util::PageBuffer take_from_shelf(std::size_t bytes) noexcept {
  Shelf& s = shelf();
  std::unique_lock lock(s.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return {};
  for (auto block = s.blocks.rbegin(); block != s.blocks.rend(); ++block) {
    if (block->size() == bytes) {
      util::PageBuffer taken = std::move(*block);
      s.blocks.erase(std::next(block).base());
      s.bytes -= bytes;
      return taken;
    }
  }
  return {};
}

}  // namespace

void Bzip2Memory::lend_to(bz_stream& z) noexcept {
  z.bzalloc = &Bzip2Memory::allocate;
  z.bzfree = &Bzip2Memory::release;
  z.opaque = this;
}

void* Bzip2Memory::allocate(void* opaque, int items, int size) noexcept {
  auto& self = *static_cast<Bzip2Memory*>(opaque);
  auto bytes = static_cast<std::size_t>(items) * static_cast<std::size_t>(size);
  for (Block& block : self.blocks_) {
    if (!block.used && block.pages.size() == bytes) {
      block.used = true;
      return block.pages.data();
    }
  }
  try {
    Block block{take_from_shelf(bytes), true};
    if (block.pages.data() == nullptr) block.pages.resize(bytes);
    self.blocks_.push_back(std::move(block));
    return self.blocks_.back().pages.data();
  } catch (const std::bad_alloc&) {
    return nullptr;  // libbz2 says BZ_MEM_ERROR
  }
}

void Bzip2Memory::release(void* opaque, void* data) noexcept {
  for (Block& block : static_cast<Bzip2Memory*>(opaque)->blocks_) {
    if (block.pages.data() == data) block.used = false;
  }
}

void Bzip2Memory::shelve() noexcept {
  Shelf& s = shelf();
  std::unique_lock lock(s.mutex, std::try_to_lock);
  for (Block& block : blocks_) {
    if (!lock.owns_lock() || block.used || block.pages.size() > kShelfBytes) continue;  // freed with blocks_
    // The oldest make room: the blocks of the decoder that ended last are
    // the likeliest to be wanted next.
    while (s.bytes + block.pages.size() > kShelfBytes) {
      s.bytes -= s.blocks.front().size();
      s.blocks.erase(s.blocks.begin());
    }
    s.bytes += block.pages.size();
    try {
      s.blocks.push_back(std::move(block.pages));
    } catch (const std::bad_alloc&) {
      s.bytes -= block.pages.size();  // not moved: freed with blocks_
    }
  }
  blocks_.clear();
}

}  // namespace marrowfin::io
