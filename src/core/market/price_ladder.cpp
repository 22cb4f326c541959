#include "core/market/price_ladder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

namespace marrowfin::market {
namespace {

constexpr std::size_t kFirstCapacity = 8;

}  // namespace

// The hot helpers are inline so that a -fPIC build, which may not assume a
// member function is not interposed, still inlines them.
inline std::int64_t PriceLadder::key(double price) const noexcept {
  // Doubles order like their bits as sign and magnitude; this makes that a
  // two's complement order (NaN included, so no input can break it).
  auto bits = std::bit_cast<std::int64_t>(price);
  return (bits < 0 ? bits ^ INT64_MAX : bits) ^ flip_;
}

inline std::size_t PriceLadder::find(std::int64_t wanted) const noexcept {
  const PriceSizePair* level = buffer_.get() + front_;
  // Gallop from the best level (probes 0, 1, 3, 7, ...), then bisect the
  // last step: an update at depth d costs about 2 log2(d) probes.
  std::size_t low = 0;
  std::size_t high = 0;
  while (high < size_ && key(level[high].price) < wanted) {
    low = high + 1;
    high = high * 2 + 1;
  }
  high = std::min(high, size_);
  while (low < high) {
    std::size_t middle = low + (high - low) / 2;
    if (key(level[middle].price) < wanted) {
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

inline void PriceLadder::insert_at(std::size_t index, PriceSizePair level) {
  // Move the levels before the index one slot forward, or those after it one back.
  bool move_front = index < size_ - index;
  if (move_front ? front_ == 0 : front_ + size_ == capacity_) {
    make_room();
  }
  PriceSizePair* begin = buffer_.get() + front_;
  if (move_front) {
    std::memmove(begin - 1, begin, index * sizeof(PriceSizePair));
    --front_;
  } else {
    std::memmove(begin + index + 1, begin + index, (size_ - index) * sizeof(PriceSizePair));
  }
  buffer_[front_ + index] = level;
  ++size_;
}

inline void PriceLadder::erase_at(std::size_t index) noexcept {
  PriceSizePair* begin = buffer_.get() + front_;
  if (index < size_ - 1 - index) {
    std::memmove(begin + 1, begin, index * sizeof(PriceSizePair));
    ++front_;
  } else {
    std::memmove(begin + index, begin + index + 1, (size_ - 1 - index) * sizeof(PriceSizePair));
  }
  --size_;
}

inline bool PriceLadder::apply(double price, const double* size) {
  bool removal = size == nullptr || *size == 0.0;
  std::int64_t wanted = key(price);
  std::size_t index = find(wanted);
  PriceSizePair* level = buffer_.get() + front_ + index;
  bool found = index < size_ && key(level->price) == wanted;
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

bool PriceLadder::update(const json::Value& elements) {
  bool changed = false;
  if (elements.kind() == json::Kind::kLevels) {
    for (const json::Level& level : elements.levels()) {
      changed |= apply(level.price, &level.size);
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
      changed |= apply(price, size ? &*size : nullptr);
    }
  }
  if (changed) ++change_count_;
  return changed;
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
