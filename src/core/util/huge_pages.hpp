// Memory in transparent huge pages, for long arrays written once into fresh
// memory: they then fault in 2 MiB at a time rather than 4 KiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace marrowfin::util {

// A transparent huge page, where the system offers them.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// `size` bytes aligned to kHugePage, in huge pages where the system offers
// them (unless `huge` is false); freed with std::free. Throws std::bad_alloc.
[[nodiscard]] void* allocate_huge_pages(std::size_t size, bool huge = true);

// `size` bytes of pages of their own, given back to the system by
// unmap_pages(data, size). Throws std::bad_alloc.
[[nodiscard]] void* map_pages(std::size_t size);
void unmap_pages(void* data, std::size_t size) noexcept;

// An allocator that puts arrays of a huge page or more in huge pages
// (allocate_huge_pages), those of kOwnPages or more in pages of their own,
// and smaller ones on the heap: a long array written once into fresh
// memory, and copied whenever it doubles, then faults in 2 MiB at a time
// rather than 4 KiB; and the copies it leaves behind as it doubles go back
// to the system at once, where the heap would keep them (its threshold for
// mapping rises with every large block freed), for a worker of many loads
// to hold from then on.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr std::size_t kOwnPages = std::size_t{128} << 10;
  HugePageAllocator() noexcept = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // NOLINT: converts as allocators do

  T* allocate(std::size_t count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    std::size_t bytes = count * sizeof(T);
    if (bytes < kOwnPages) return static_cast<T*>(::operator new(bytes));
    if (bytes < kHugePage) return static_cast<T*>(map_pages(bytes));
    return static_cast<T*>(allocate_huge_pages(bytes));
  }
  void deallocate(T* data, std::size_t count) noexcept {
    std::size_t bytes = count * sizeof(T);
    if (bytes < kOwnPages) {
      ::operator delete(data);
    } else if (bytes < kHugePage) {
      unmap_pages(data, bytes);
    } else {
      std::free(data);
    }
  }
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) noexcept = default;
};

}  // namespace marrowfin::util
