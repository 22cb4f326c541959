#include "core/util/page_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace marrowfin::util {
namespace {

std::size_t page_size() noexcept {
  static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

PageBuffer::~PageBuffer() { release(); }

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void PageBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  std::size_t page = page_size();
  std::size_t rounded = (capacity + page - 1) / page * page;
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer does not follow mremap: pages mapped later where moved
  // ones were would carry their old writes, reported as races.
  void* grown = ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (grown == MAP_FAILED) throw std::bad_alloc();
  if (data_ != nullptr) {
    std::memcpy(grown, data_, size_);
    ::munmap(data_, capacity_);
  }
#else
  void* grown = data_ == nullptr ? ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                 : ::mremap(data_, capacity_, rounded, MREMAP_MAYMOVE);
  if (grown == MAP_FAILED) throw std::bad_alloc();
#endif
  data_ = static_cast<char*>(grown);
  capacity_ = rounded;
}

void PageBuffer::resize(std::size_t size) {
  reserve(size);
  size_ = size;
}

std::size_t PageBuffer::discard(std::size_t begin, std::size_t end) noexcept {
  std::size_t page = page_size();
  std::size_t first = (begin + page - 1) / page * page;
  end = std::min(end, size_) / page * page;
  if (first >= end) return begin;
  // Advice that cannot fail on pages of our own mapping; were it refused,
  // the pages would merely stay.
  ::madvise(data_ + first, end - first, MADV_DONTNEED);
  return end;
}

void PageBuffer::release() noexcept {
  if (data_ != nullptr) ::munmap(data_, capacity_);
  data_ = nullptr;
  size_ = capacity_ = 0;
}

}  // namespace marrowfin::util
