#include "core/util/huge_pages.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace marrowfin::util {

void* allocate_huge_pages(std::size_t size, bool huge) {
  void* data = nullptr;
  if (posix_memalign(&data, kHugePage, size) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  if (huge) ::madvise(data, size, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
  return data;
}

void* map_pages(std::size_t size) {
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) throw std::bad_alloc();
  return data;
}

void unmap_pages(void* data, std::size_t size) noexcept { ::munmap(data, size); }

}  // namespace marrowfin::util
