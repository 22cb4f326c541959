#include "core/market/level_ladder.hpp"

#include <algorithm>
#include <bit>
#include <optional>

namespace marrowfin::market {

bool LevelLadder::apply(std::int64_t level, double price, const double* size) {
  bool removal = size == nullptr || *size == 0.0;
  auto it = std::lower_bound(positions_.begin(), positions_.end(), level);
  auto index = static_cast<std::size_t>(it - positions_.begin());
  if (it != positions_.end() && *it == level) {
    if (removal) {
      positions_.erase(it);
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
      return true;
    }
    PriceSizePair& entry = entries_[index];
    // By bit pattern: 0.0 and -0.0 read out differently.
    if (std::bit_cast<std::uint64_t>(entry.price) == std::bit_cast<std::uint64_t>(price) &&
        entry.size == *size) {
      return false;
    }
    entry = {price, *size};
    return true;
  }
  if (removal) return false;
  positions_.insert(it, level);
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(index), {price, *size});
  return true;
}

bool LevelLadder::update(const json::Value& elements) {
  bool changed = false;
  for (const json::Value& element : elements.items()) {
    std::span<const json::Value> item = element.items();
    if (item.size() < 3) continue;
    std::optional<std::int64_t> level = item[0].as_integer();
    if (!level) continue;
    std::optional<double> size = item[2].as_float();
    changed |= apply(*level, item[1].as_float().value_or(0.0), size ? &*size : nullptr);
  }
  if (changed) ++change_count_;
  return changed;
}

}  // namespace marrowfin::market
