// The ladders of a runner's book: by price ("atb") and by level ("batb").
#include "core/market/price_ladder.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/market/decimal_text.hpp"
#include "core/market/level_ladder.hpp"
#include "test_support.hpp"

namespace marrowfin::market {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests\' helpers

using Pairs = std::vector<PriceSizePair>;

// `update` applied to a fresh ladder after `before`: whether it changed the
// ladder, and counted the change, and the read-out after both.
struct Case {
  const char* before;
  const char* update;
  bool changed;
  Pairs read_out;
};

template <class Make, class ReadOut>
void expect_updates(std::string_view key, const std::vector<Case>& cases, Make make, ReadOut read_out) {
  for (const Case& c : cases) {
    util::Arena arena;
    auto ladder = make();
    ladder.update(member_value(key, c.before, arena));
    std::uint64_t count = ladder.change_count();
    EXPECT_EQ(ladder.update(member_value(key, c.update, arena)), c.changed) << key << " " << c.update;
    EXPECT_EQ(ladder.change_count(), count + (c.changed ? 1 : 0)) << key << " " << c.update;
    EXPECT_EQ(read_out(ladder), c.read_out) << key << " " << c.update;
  }
}

TEST(PriceLadder, UpdateChangesAndReadsOutAscending) {
  const std::vector<Case> cases = {
      {"[]", "[]", false, {}},
      {"[]", "[[1.5, 10]]", true, {{1.5, 10.0}}},
      {"[[1.5, 10]]", "[[1.50, 10.0]]", false, {{1.5, 10.0}}},
      {"[[2, 10]]", "[[2.0, 4]]", true, {{2.0, 4.0}}},
      // Size 0, -0, null or no number removes the level.
      {"[[1.5, 10]]", "[[1.5, 0]]", true, {}}, {"[[1.5, 10]]", "[[1.5, -0.0]]", true, {}},
      {"[[1.5, 10]]", "[[1.5, null]]", true, {}}, {"[[1.5, 10]]", "[[1.5, \"5\"]]", true, {}},
      {"[]", "[[1.5, 0]]", false, {}}, {"[]", "[[1.5, null]]", false, {}},
      // Elements that are no pair are skipped; a packed one is price 0, removed.
      {"[]", "[[1.5]]", false, {}}, {"[]", "[1.5, 10]", false, {}},
      {"[]", "[{}, \"x\", null, [[1, 2], [3, 4]]]", false, {}},
      {"[[0, 7]]", "[[[1, 2], [3, 4]]]", true, {}},
      {"[]", "[[\"x\", 5]]", true, {{0.0, 5.0}}},
      {"[]", "[[1.5, 10, 99]]", true, {{1.5, 10.0}}},
      {"[]", "[[1.5, -3]]", true, {{1.5, -3.0}}},
      // Within one update, later levels win.
      {"[]", "[[2, 3], [2.0, 0]]", true, {}},
      {"[[2, 3]]", "[[2, 0], [2, 3]]", true, {{2.0, 3.0}}},
      {"[]", "[[1.8, 1], [1.5, 2], [2.0, 3]]", true, {{1.5, 2.0}, {1.8, 1.0}, {2.0, 3.0}}},
      // The zeros of both signs are two levels.
      {"[[0.0, 1], [-0.0, 2]]", "[[0.0, 0]]", true, {{-0.0, 2.0}}},
      {"[]", "[[18446744073709551615, 1], [-9223372036854775808, 2]]", true,
       {{-9223372036854775808.0, 2.0}, {18446744073709551615.0, 1.0}}},
  };
  expect_updates("atb", cases, [] { return PriceLadder(false); },
                 [](const PriceLadder& ladder) { return ladder.to_price_sizes(); });
}

TEST(LevelLadder, UpdateChangesAndReadsOutInLevelOrder) {
  const std::vector<Case> cases = {
      {"[]", "[]", false, {}},
      {"[]", "[[0, 1.5, 10]]", true, {{1.5, 10}}},
      {"[[0, 1.5, 10]]", "[[0, 1.50, 10.0]]", false, {{1.5, 10}}},
      // A level is replaced whole: new price, new size, or both.
      {"[[0, 1.5, 10]]", "[[0, 1.6, 10]]", true, {{1.6, 10}}},
      {"[[0, 1.5, 10]]", "[[0, 1.5, 11]]", true, {{1.5, 11}}},
      {"[[0, 0.0, 10]]", "[[0, -0.0, 10]]", true, {{-0.0, 10}}},
      // Read out by level, whatever the prices and the order they came in.
      {"[]", "[[2, 1.8, 1], [0, 2, 3], [1, 1.9, 2]]", true, {{2, 3}, {1.9, 2}, {1.8, 1}}},
      {"[[0, 2, 3], [1, 1.9, 2], [2, 1.8, 1]]", "[[1, 1.9, 0]]", true, {{2, 3}, {1.8, 1}}},
      // Size 0, null or no number empties the level; an empty level is no change.
      {"[[0, 2, 3]]", "[[0, 2, null]]", true, {}}, {"[[0, 2, 3]]", "[[0, 7, \"1\"]]", true, {}},
      {"[]", "[[0, 2, 0]]", false, {}},
      // Skipped: fewer than three items, or a level that is no integer.
      {"[]", "[[0, 2], [1.0, 2, 3], [\"0\", 2, 3], 5, [], {}]", false, {}},
      {"[]", "[[-1, 2, 3], [0, \"x\", 4, 99]]", true, {{2, 3}, {0, 4}}},
      {"[]", "[[0, 2, 3], [0, 2, 0]]", true, {}},
  };
  expect_updates("batb", cases, [] { return LevelLadder(); },
                 [](const LevelLadder& ladder) { return Pairs(ladder.levels().begin(), ladder.levels().end()); });
}

// Prices and sizes as Python shows them: the shortest decimal, positional
// (test_classes.py checks random doubles by repr); here, the edges.
TEST(ShortestDecimal, WritesPositionalShortestText) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, std::string> cases[] = {
      {0.0, "0"}, {-0.0, "-0"}, {-2.5e-3, "-0.0025"},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"}, {kInf, "inf"}, {-kInf, "-inf"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(shortest_decimal(value), text) << text;
}

}  // namespace
}  // namespace marrowfin::market
