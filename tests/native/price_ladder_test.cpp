#include "market/price_ladder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "parse/arena.hpp"

namespace marrowfin::market {
namespace {

using json::Level;
using json::Value;

// Builds ladder arrays in both forms from the same levels; a missing size
// (NaN here) becomes a null, which the packed form cannot carry.
class LevelArrays {
 public:
  Value plain(const std::vector<Level>& levels) {
    auto* items = arena_.allocate<Value>(levels.size());
    for (std::size_t i = 0; i < levels.size(); ++i) {
      auto* pair = arena_.allocate<Value>(2);
      pair[0] = Value::number(levels[i].price);
      pair[1] = std::isnan(levels[i].size) ? Value::null() : Value::number(levels[i].size);
      items[i] = Value::array(pair, 2);
    }
    return Value::array(items, static_cast<std::uint32_t>(levels.size()));
  }
  Value packed(const std::vector<Level>& levels) {
    auto* items = arena_.allocate<Level>(levels.size());
    std::copy(levels.begin(), levels.end(), items);
    return Value::packed_levels(items, static_cast<std::uint32_t>(levels.size()));
  }

 private:
  parse::Arena arena_;
};

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// Random updates against a plain ordered model, in both array forms: drives
// the table through growth, probe-run deletions and refills.
TEST(PriceLadderModel, RandomUpdatesMatchAnOrderedMap) {
  std::mt19937_64 rng(20240611);
  // Few distinct prices so that updates overwrite and remove often; the
  // zeros of both signs are distinct levels.
  std::vector<double> prices;
  for (int i = 0; i < 300; ++i) prices.push_back(1.01 + 0.01 * i);
  prices.push_back(0.0);
  prices.push_back(-0.0);
  std::vector<double> sizes = {0.0, -0.0, 1.0, 2.5, 3.0, -4.0};

  LevelArrays arrays;
  PriceLadder plain(false);
  PriceLadder packed(true);
  std::map<std::uint64_t, Level> model;
  std::uint64_t expected_count = 0;
  for (int round = 0; round < 4000; ++round) {
    std::vector<Level> levels(rng() % 12);
    // Phases that fill and then drain the ladder exercise large tables.
    std::size_t spread = (round / 500) % 2 == 0 ? prices.size() : 20;
    for (Level& level : levels) {
      level.price = prices[rng() % spread];
      level.size = sizes[rng() % sizes.size()];
    }
    bool model_changed = false;
    for (const Level& level : levels) {
      auto it = model.find(bits(level.price));
      if (level.size == 0.0) {
        if (it != model.end()) {
          model.erase(it);
          model_changed = true;
        }
      } else if (it == model.end() || it->second.size != level.size) {
        model[bits(level.price)] = level;
        model_changed = true;
      }
    }
    if (model_changed) ++expected_count;

    ASSERT_EQ(plain.update(arrays.plain(levels)), model_changed) << "round " << round;
    ASSERT_EQ(packed.update(arrays.packed(levels)), model_changed) << "round " << round;
    ASSERT_EQ(plain.change_count(), expected_count);
    ASSERT_EQ(packed.change_count(), expected_count);
    ASSERT_EQ(plain.size(), model.size());

    std::vector<PriceSizePair> ascending = plain.to_price_sizes();
    std::vector<PriceSizePair> descending = packed.to_price_sizes();
    std::reverse(descending.begin(), descending.end());
    ASSERT_EQ(ascending.size(), model.size());
    // Compare as sets keyed by bit pattern (0.0 and -0.0 may come in either order).
    std::map<std::uint64_t, double> seen_plain;
    std::map<std::uint64_t, double> seen_packed;
    for (std::size_t i = 0; i < ascending.size(); ++i) {
      if (i > 0) {
        ASSERT_LE(ascending[i - 1].price, ascending[i].price);
        ASSERT_LE(descending[i - 1].price, descending[i].price);
      }
      seen_plain[bits(ascending[i].price)] = ascending[i].size;
      seen_packed[bits(descending[i].price)] = descending[i].size;
    }
    for (const auto& [key, level] : model) {
      ASSERT_EQ(seen_plain.at(key), level.size);
      ASSERT_EQ(seen_packed.at(key), level.size);
    }
  }
}

}  // namespace
}  // namespace marrowfin::market
