// What one load leaves for the next in the same process: memory already
// faulted in (a decoder's tables, the first blocks of an arena, chunk
// buffers), rather than mapped and zeroed afresh for every file.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <new>
#include <utility>

namespace marrowfin::util {

// At most N things of type T (movable, empty when default-made), the newest
// taken first; one left on a full shelf makes the oldest go. Taken and left
// only when free (try_lock): a process forked by another thread while this
// one held it would otherwise hang; a busy shelf costs only a fresh thing.
// One per T and N, never destroyed (a load may end after exit's destructors).
template <class T, std::size_t N>
class Shelf {
 public:
  static Shelf& get() noexcept {
    alignas(Shelf) static std::byte storage[sizeof(Shelf)];
    static Shelf* made = new (storage) Shelf;
    return *made;
  }

  // The newest thing left, or an empty one.
  T take() noexcept {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || count_ == 0) return T{};
    return std::move(items_[--count_]);
  }

  // For accounting and tests, never on a load's way: it waits for the lock.
  std::size_t size() noexcept {
    std::lock_guard lock(mutex_);
    return count_;
  }

  // Lets all but the `n` newest things go (freed outside the lock).
  void keep_newest(std::size_t n) noexcept {
    std::array<T, N> gone{};
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (lock.owns_lock() && count_ > n) drop_oldest(count_ - n, gone.data());
  }

  // Takes `thing` (which is then empty), unless the shelf is busy; what goes
  // instead (the oldest thing, or `thing` itself) is freed by the caller's
  // destructors, outside the lock.
  void leave(T& thing) noexcept {
    T gone;  // destroyed after the lock is let go
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return;
    if (count_ == N) drop_oldest(1, &gone);
    items_[count_++] = std::move(thing);
  }

 private:
  Shelf() = default;
  // Moves the `drop` oldest things into `gone` (freed by the caller after
  // the lock) and the rest to the front. The lock is held.
  void drop_oldest(std::size_t drop, T* gone) noexcept {
    for (std::size_t i = 0; i < drop; ++i) gone[i] = std::move(items_[i]);
    for (std::size_t i = drop; i < count_; ++i) items_[i - drop] = std::move(items_[i]);
    count_ -= drop;
  }
  std::mutex mutex_;
  std::array<T, N> items_{};
  std::size_t count_ = 0;
};

}  // namespace marrowfin::util
