// Bytes in pages of their own, outside the heap.
#pragma once

#include <cstddef>
#include <string_view>

namespace marrowfin::util {

// For large buffers that live for part of a load: growing one moves no bytes
// (mremap), and freeing it gives its pages back at once and leaves the heap
// as it was. A multi-megabyte heap block freed would make the allocator serve
// later large requests (the value arena's blocks among them) from the heap,
// where they fragment it.
class PageBuffer {
 public:
  PageBuffer() = default;
  ~PageBuffer();
  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::string_view view() const noexcept { return {data_, size_}; }

  // Room for `capacity` bytes at least. Throws std::bad_alloc.
  void reserve(std::size_t capacity);
  // Bytes past the old size are unspecified. Throws std::bad_alloc.
  void resize(std::size_t size);
  // Gives back the whole pages within [begin, end), which read as zeros
  // after; the size stays. For a reader done with the start of its bytes.
  // Returns where the pages given back end (`begin` for none).
  std::size_t discard(std::size_t begin, std::size_t end) noexcept;
  // Frees the pages.
  void release() noexcept;

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace marrowfin::util
