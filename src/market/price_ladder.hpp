// One side of a runner's book: price -> size, updated from the stream's
// [price, size] differences and read out sorted by price.
#pragma once

#include <cstdint>
#include <vector>

#include "market/records.hpp"
#include "parse/json_value.hpp"

namespace marrowfin::market {

class PriceLadder {
 public:
  // `descending`: read-out from high to low price (back sides); else low to high.
  explicit PriceLadder(bool descending) noexcept : descending_(descending) {}

  // Applies one ladder array of a runner change (plain or packed form; any
  // other value is treated as empty). Returns true when the levels changed,
  // and then adds 1 to change_count(). Costs one hash lookup per element.
  bool update(const json::Value& elements);

  // Every level once, sorted by price in the ladder's direction.
  std::vector<PriceSizePair> to_price_sizes() const;

  std::uint64_t change_count() const noexcept { return change_count_; }
  bool descending() const noexcept { return descending_; }
  std::size_t size() const noexcept;
  bool empty() const noexcept { return size() == 0; }

 private:
  bool descending_;
  std::uint64_t change_count_ = 0;
  // Storage and hashing of the levels: left to the implementation.
};

}  // namespace marrowfin::market
