// Floats added as Python's sum() adds them from 3.12 on (Neumaier's
// compensation), so that the sums of a table equal, to the bit, those a user
// computes from the books with sum().
#pragma once

#include <cmath>

namespace marrowfin::util {

class FloatSum {
 public:
  void add(double x) noexcept {
    double t = sum_ + x;
    if (std::fabs(sum_) >= std::fabs(x)) {
      compensation_ += (sum_ - t) + x;
    } else {
      compensation_ += (x - t) + sum_;
    }
    sum_ = t;
  }
  // 0.0 for no values, as sum() of none is 0 (never -0.0).
  double value() const noexcept {
    // As Python: no compensation that would turn an overflowed sum into NaN.
    return compensation_ != 0.0 && std::isfinite(compensation_) ? sum_ + compensation_ : sum_;
  }

 private:
  double sum_ = 0.0;
  double compensation_ = 0.0;
};

}  // namespace marrowfin::util
