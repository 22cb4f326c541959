#include "core/market/price_ladder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace marrowfin::market {
namespace {

constexpr std::uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ull;
constexpr std::size_t kFirstCapacity = 8;

std::uint64_t price_bits(double price) noexcept { return std::bit_cast<std::uint64_t>(price); }

// An integer that orders prices numerically, with 0.0 and -0.0 equal. It is a
// total order even for NaN, so a sort can never misbehave on odd input.
std::int64_t order_key(double price) noexcept {
  if (price == 0.0) return 0;
  auto bits = std::bit_cast<std::int64_t>(price);
  return bits < 0 ? bits ^ INT64_MAX : bits;
}

}  // namespace

// The hot helpers are inline so that a -fPIC build, which may not assume a
// member function is not interposed, still inlines them.
inline std::size_t PriceLadder::home_slot(std::uint64_t bits) const noexcept {
  return static_cast<std::size_t>((bits * kHashMultiplier) >> shift_);
}

inline std::size_t PriceLadder::find_slot(std::uint64_t bits) const noexcept {
  std::size_t slot = home_slot(bits);
  while (slots_[slot].entry != 0 && slots_[slot].bits != bits) {
    slot = (slot + 1) & mask_;
  }
  return slot;
}

void PriceLadder::grow() {
  std::size_t capacity = slots_ ? (mask_ + 1) * 2 : kFirstCapacity;
  slots_ = std::make_unique<Slot[]>(capacity);  // zeroed: all empty
  mask_ = capacity - 1;
  shift_ = 64 - std::countr_zero(capacity);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    std::uint64_t bits = price_bits(entries_[i].price);
    slots_[find_slot(bits)] = {bits, static_cast<std::uint32_t>(i + 1)};
  }
}

void PriceLadder::erase_slot(std::size_t slot) noexcept {
  std::size_t index = slots_[slot].entry - 1;
  // Backward-shift deletion: pull later members of the probe run into the
  // hole where their probe path passes it, so no tombstones pile up.
  std::size_t hole = slot;
  for (std::size_t next = (slot + 1) & mask_; slots_[next].entry != 0;
       next = (next + 1) & mask_) {
    std::size_t home = home_slot(slots_[next].bits);
    if (((next - home) & mask_) >= ((next - hole) & mask_)) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole].entry = 0;
  // Keep entries_ dense: the last entry fills the gap.
  if (index + 1 != entries_.size()) {
    entries_[index] = entries_.back();
    slots_[find_slot(price_bits(entries_[index].price))].entry =
        static_cast<std::uint32_t>(index + 1);
  }
  entries_.pop_back();
}

inline bool PriceLadder::apply(double price, const double* size) {
  std::uint64_t bits = price_bits(price);
  bool removal = size == nullptr || *size == 0.0;
  if (!slots_) {
    if (removal) return false;
    grow();
  }
  std::size_t slot = find_slot(bits);
  if (slots_[slot].entry != 0) {
    PriceSizePair& entry = entries_[slots_[slot].entry - 1];
    if (removal) {
      erase_slot(slot);
      return true;
    }
    if (entry.size == *size) return false;
    entry.size = *size;
    return true;
  }
  if (removal) return false;
  if ((entries_.size() + 1) * 2 > mask_ + 1) {  // keep the load at most one half
    grow();
    slot = find_slot(bits);
  }
  entries_.push_back({price, *size});
  slots_[slot] = {bits, static_cast<std::uint32_t>(entries_.size())};
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
  out.assign(entries_.begin(), entries_.end());
  if (descending_) {
    std::sort(out.begin(), out.end(), [](const PriceSizePair& a, const PriceSizePair& b) {
      return order_key(a.price) > order_key(b.price);
    });
  } else {
    std::sort(out.begin(), out.end(), [](const PriceSizePair& a, const PriceSizePair& b) {
      return order_key(a.price) < order_key(b.price);
    });
  }
}

std::vector<PriceSizePair> PriceLadder::to_price_sizes() const {
  std::vector<PriceSizePair> out;
  to_price_sizes(out);
  return out;
}

}  // namespace marrowfin::market
