#include "core/io/bzip2_memory.hpp"

#include <cstddef>
#include <new>
#include <utility>

namespace marrowfin::io {

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
    Block block;
    block.pages.resize(bytes);
    block.used = true;
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

}  // namespace marrowfin::io
