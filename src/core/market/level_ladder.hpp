// A best-offers ladder: the price and size at each level of one side of a
// runner's book (level 0 the best), as the best-offers feeds send them
// ("batb"/"batl" best available, "bdatb"/"bdatl" best display).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/market/records.hpp"
#include "core/json/value.hpp"

namespace marrowfin::market {

class LevelLadder {
 public:
  // Applies one array of [level, price, size] elements of a runner change;
  // size 0 (or no number) empties that level, an element whose level is no
  // integer or that has fewer than three items is skipped. Returns true when
  // the levels changed, and then adds 1 to change_count().
  bool update(const json::Value& elements);

  // The occupied levels' prices and sizes, best level first.
  std::span<const PriceSizePair> levels() const noexcept { return entries_; }
  std::uint64_t change_count() const noexcept { return change_count_; }

 private:
  // Sets or (size absent or zero) empties one level; true when that changed it.
  bool apply(std::int64_t level, double price, const double* size);

  std::uint64_t change_count_ = 0;
  // Parallel vectors in ascending level order; a feed sends about ten levels.
  std::vector<std::int64_t> positions_;
  std::vector<PriceSizePair> entries_;
};

}  // namespace marrowfin::market
