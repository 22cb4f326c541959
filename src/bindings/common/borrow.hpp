// Borrow tracking for mutable extension objects. Another Python thread can only
// reach an object while a call is inside Python code (datetime), so a conflict
// is reported, never waited for.
#pragma once

#include "bindings/common/compat.hpp"

#include <cstdint>

#include "bindings/common/errors.hpp"

namespace marrowfin::py {

class BorrowFlag {
 public:
  // Returns false (no error set) when an exclusive borrow is held.
  [[nodiscard]] bool try_shared() noexcept {
    if (state_ < 0) return false;
    ++state_;
    return true;
  }
  void release_shared() noexcept { --state_; }
  // Returns false (no error set) when any borrow is held.
  [[nodiscard]] bool try_exclusive() noexcept {
    if (state_ != 0) return false;
    state_ = -1;
    return true;
  }
  void release_exclusive() noexcept { state_ = 0; }

 private:
  std::int64_t state_ = 0;  // >0: shared borrows, -1: exclusive, 0: free
};

// Holds a shared borrow for its lifetime. When refused, it is empty and the
// RuntimeError "Already mutably borrowed" is set.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {
    if (!flag.try_shared()) {
      flag_ = nullptr;
      set_already_mutably_borrowed();
    }
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (flag_) flag_->release_shared();
  }
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

// Holds an exclusive borrow for its lifetime. When refused, it is empty and the
// RuntimeError "Already borrowed" is set.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {
    if (!flag.try_exclusive()) {
      flag_ = nullptr;
      set_already_borrowed();
    }
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (flag_) flag_->release_exclusive();
  }
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

}  // namespace marrowfin::py
