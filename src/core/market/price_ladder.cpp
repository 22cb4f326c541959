#include "core/market/price_ladder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

namespace marrowfin::market {
namespace {

constexpr std::size_t kFirstCapacity = 8;

// An integer per price, ordered as the prices are (-0.0 below 0.0): doubles
// order like their bits read as sign and magnitude, and this makes that two's
// complement. A total order, NaN included, so no input can break a ladder.
inline std::int64_t order_key(double price) noexcept {
  auto bits = std::bit_cast<std::int64_t>(price);
  return bits ^ ((bits >> 63) & INT64_MAX);
}

// Whether a level whose key is `level` comes before `wanted` in read-out order.
template <bool Descending>
inline bool before(std::int64_t level, std::int64_t wanted) noexcept {
  return Descending ? level > wanted : level < wanted;
}

// Moves the `count` levels from `first` one slot back (`Back`) or towards the
// front. Most moves are of a level or two, for which a call is dear.
template <bool Back>
inline void shift_one(PriceSizePair* first, std::size_t count) noexcept {
  if (count > 4) {
    std::memmove(Back ? first + 1 : first - 1, first, count * sizeof(PriceSizePair));
  } else if (Back) {
    for (std::size_t i = count; i > 0; --i) first[i] = first[i - 1];
  } else {
    PriceSizePair* to = first - 1;
    for (std::size_t i = 0; i < count; ++i) to[i] = first[i];
  }
}

}  // namespace

// The hot helpers are inline so that a -fPIC build, which may not assume a
// member function is not interposed, still inlines them.
template <bool Descending>
inline std::size_t PriceLadder::find(std::int64_t wanted) const noexcept {
  // Starts at the level the last update found (the inside of the book for
  // back and lay ladders, the last traded price for the traded one) and
  // gallops away from it (distances 1, 2, 4, ...) before bisecting the last
  // step: an update d levels from the one before costs about 2 log2(d) probes.
  if (size_ == 0) return 0;
  const PriceSizePair* level = buffer_.get() + front_;
  auto comes_before = [&](std::size_t i) {
    return before<Descending>(order_key(level[i].price), wanted);
  };
  const std::size_t finger = std::min(finger_, size_ - 1);
  std::size_t low = 0;
  std::size_t high = 0;
  if (comes_before(finger)) {
    // Past the finger: within (finger, size_].
    low = finger + 1;
    std::size_t step = 1;
    high = low;
    while (high < size_ && comes_before(high)) {
      low = high + 1;
      step *= 2;
      high = finger + step;
    }
    high = std::min(high, size_);
  } else {
    // At or before the finger: within [0, finger].
    high = finger;
    std::size_t step = 1;
    while (high > 0) {
      std::size_t probe = finger >= step ? finger - step : 0;
      if (comes_before(probe)) {
        low = probe + 1;
        break;
      }
      high = probe;
      step *= 2;
    }
  }
  while (low < high) {
    std::size_t middle = low + (high - low) / 2;
    if (comes_before(middle)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

void PriceLadder::make_room() {
  // At least twice the levels, then free slots split evenly between the sides.
  std::size_t capacity = std::max(capacity_, kFirstCapacity);
  while (capacity < 2 * size_ + 2) capacity *= 2;
  std::size_t front = (capacity - size_) / 2;
  if (capacity == capacity_) {
    std::memmove(buffer_.get() + front, buffer_.get() + front_, size_ * sizeof(PriceSizePair));
  } else {
    auto buffer = std::make_unique_for_overwrite<PriceSizePair[]>(capacity);
    if (size_ > 0) {
      std::memcpy(buffer.get() + front, buffer_.get() + front_, size_ * sizeof(PriceSizePair));
    }
    buffer_ = std::move(buffer);
    capacity_ = capacity;
  }
  front_ = front;
}

void PriceLadder::insert_at(std::size_t index, PriceSizePair level) {
  // Move the levels before the index one slot forward, or those after it one back.
  bool move_front = index < size_ - index;
  if (move_front ? front_ == 0 : front_ + size_ == capacity_) {
    make_room();
  }
  PriceSizePair* begin = buffer_.get() + front_;
  if (move_front) {
    shift_one<false>(begin, index);
    --front_;
  } else {
    shift_one<true>(begin + index, size_ - index);
  }
  buffer_[front_ + index] = level;
  ++size_;
}

void PriceLadder::erase_at(std::size_t index) noexcept {
  PriceSizePair* begin = buffer_.get() + front_;
  if (index < size_ - 1 - index) {
    shift_one<true>(begin, index);
    ++front_;
  } else {
    shift_one<false>(begin + index + 1, size_ - 1 - index);
  }
  --size_;
}

template <bool Descending>
inline bool PriceLadder::apply(double price, const double* size) {
  bool removal = size == nullptr || *size == 0.0;
  std::size_t index = find<Descending>(order_key(price));
  finger_ = index;
  PriceSizePair* level = buffer_.get() + front_ + index;
  bool found = index < size_ &&
               std::bit_cast<std::uint64_t>(level->price) == std::bit_cast<std::uint64_t>(price);
  if (removal) {
    if (!found) return false;
    erase_at(index);
    return true;
  }
  if (found) {
    if (level->size == *size) return false;
    level->size = *size;
    return true;
  }
  insert_at(index, {price, *size});
  return true;
}

template <bool Descending>
bool PriceLadder::update_in(const json::Value& elements) {
  bool changed = false;
  if (elements.kind() == json::Kind::kLevels) {
    for (const json::Level& level : elements.levels()) {
      changed |= apply<Descending>(level.price, &level.size);
    }
  } else {
    for (const json::Value& element : elements.items()) {
      if (!element.is_array() || element.size() < 2) continue;
      // A packed element holds arrays, not numbers: price 0.0, and a removal.
      std::span<const json::Value> pair = element.items();
      double price = 0.0;
      std::optional<double> size;
      if (!pair.empty()) {
        price = pair[0].as_float().value_or(0.0);
        size = pair[1].as_float();
      }
      changed |= apply<Descending>(price, size ? &*size : nullptr);
    }
  }
  if (changed) ++change_count_;
  return changed;
}

bool PriceLadder::update(const json::Value& elements) {
  return descending_ ? update_in<true>(elements) : update_in<false>(elements);
}

void PriceLadder::to_price_sizes(std::vector<PriceSizePair>& out) const {
  std::span<const PriceSizePair> all = levels();
  out.assign(all.begin(), all.end());
}

std::vector<PriceSizePair> PriceLadder::to_price_sizes() const {
  std::span<const PriceSizePair> all = levels();
  return {all.begin(), all.end()};
}

}  // namespace marrowfin::market
