// One side of a runner's book: price -> size, updated from the stream's
// [price, size] differences and kept sorted in read-out order, so that a
// read-out is the levels as they stand.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/market/records.hpp"
#include "core/json/value.hpp"

namespace marrowfin::market {

class PriceLadder {
 public:
  // `descending`: read-out from high to low price (back sides); else low to high.
  explicit PriceLadder(bool descending) noexcept : descending_(descending) {}
  PriceLadder(PriceLadder&&) noexcept = default;
  PriceLadder& operator=(PriceLadder&&) noexcept = default;

  // Applies one ladder array of a runner change (plain or packed form; any
  // other value is treated as empty). Returns true when the levels changed,
  // and then adds 1 to change_count(). A price is searched from where the
  // last one was found outwards, so updates where most land (the inside of
  // the book, the last traded price) cost least.
  bool update(const json::Value& elements);

  // Every level once, sorted by price in the ladder's direction (0.0 and -0.0
  // are two levels; -0.0 is the lower). Valid until the next update.
  std::span<const PriceSizePair> levels() const noexcept { return {buffer_.get() + front_, size_}; }
  // Copies of levels().
  std::vector<PriceSizePair> to_price_sizes() const;
  void to_price_sizes(std::vector<PriceSizePair>& out) const;  // old contents dropped

  std::uint64_t change_count() const noexcept { return change_count_; }
  bool descending() const noexcept { return descending_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

 private:
  // update() for the ladder's direction, decided once per update.
  template <bool Descending>
  bool update_in(const json::Value& elements);
  // Sets or (size absent or zero) removes one price; true when that changed
  // the levels.
  template <bool Descending>
  bool apply(double price, const double* size);
  // The index of the first level that does not come before the price whose
  // order key is `key` in read-out order.
  template <bool Descending>
  std::size_t find(std::int64_t key) const noexcept;
  void insert_at(std::size_t index, PriceSizePair level);
  void erase_at(std::size_t index) noexcept;
  // Lays the levels out again with free slots on both sides.
  void make_room();

  bool descending_;
  std::uint64_t change_count_ = 0;
  // The levels are buffer_[front_, front_ + size_), with free slots on both
  // sides, so that an insert or an erase moves the shorter part, the inside
  // of the book usually. Null until the first insert, since most ladders of
  // a market stay empty.
  std::unique_ptr<PriceSizePair[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t front_ = 0;
  std::size_t size_ = 0;
  std::size_t finger_ = 0;  // index of the level the last update went to
};

}  // namespace marrowfin::market
