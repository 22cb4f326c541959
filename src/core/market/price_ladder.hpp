// One side of a runner's book: price -> size, updated from the stream's
// [price, size] differences and read out sorted by price.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/market/records.hpp"
#include "core/parse/json_value.hpp"

namespace marrowfin::market {

class PriceLadder {
 public:
  // `descending`: read-out from high to low price (back sides); else low to high.
  explicit PriceLadder(bool descending) noexcept : descending_(descending) {}
  PriceLadder(PriceLadder&&) noexcept = default;
  PriceLadder& operator=(PriceLadder&&) noexcept = default;

  // Applies one ladder array of a runner change (plain or packed form; any
  // other value is treated as empty). Returns true when the levels changed,
  // and then adds 1 to change_count(). Costs one hash lookup per element.
  bool update(const json::Value& elements);

  // Every level once, sorted by price in the ladder's direction.
  std::vector<PriceSizePair> to_price_sizes() const;
  // The same into `out` (its old contents dropped), reusing its storage.
  void to_price_sizes(std::vector<PriceSizePair>& out) const;

  std::uint64_t change_count() const noexcept { return change_count_; }
  bool descending() const noexcept { return descending_; }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return size() == 0; }

 private:
  // Sets or (size absent or zero) removes one price; true when that changed
  // the levels.
  bool apply(double price, const double* size);
  // The slot holding `bits`, or the empty slot where it would go. Requires
  // a table (capacity > 0).
  std::size_t find_slot(std::uint64_t bits) const noexcept;
  std::size_t home_slot(std::uint64_t bits) const noexcept;
  void erase_slot(std::size_t slot) noexcept;
  void grow();

  bool descending_;
  std::uint64_t change_count_ = 0;
  // Levels in no particular order, so the read-out is a copy and a sort.
  std::vector<PriceSizePair> entries_;
  // Open addressing with linear probing, keyed by the price's bit pattern
  // (1.5 and 1.50 are one level, 0.0 and -0.0 two). A slot keeps the key
  // beside the index so that probing does not visit entries_. Null until the
  // first insert, since most ladders of a market stay empty.
  struct Slot {
    std::uint64_t bits;
    std::uint32_t entry;  // index into entries_ plus one; 0 is an empty slot
  };
  std::unique_ptr<Slot[]> slots_;
  std::size_t mask_ = 0;  // capacity - 1; capacity is a power of two
  int shift_ = 64;        // 64 - log2(capacity), for multiplicative hashing
};

}  // namespace marrowfin::market
