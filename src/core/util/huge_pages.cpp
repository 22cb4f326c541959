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

}  // namespace marrowfin::util
