#include "core/market/price_ladder.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/market/decimal_text.hpp"
#include "test_support.hpp"

namespace marrowfin::market {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests\' helpers

using Pairs = std::vector<PriceSizePair>;

json::Value levels(std::string_view text, util::Arena& arena) { return member_value("atb", text, arena); }

TEST(PriceLadder, UpdateChangesAndReadsOut) {
  const struct {
    const char* before;  // applied first, to a fresh ladder
    const char* update;
    bool changed;
    Pairs ascending;  // read-out after both
  } cases[] = {
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
  for (const auto& c : cases) {
    util::Arena arena;
    PriceLadder ladder(false);
    ladder.update(levels(c.before, arena));
    std::uint64_t count = ladder.change_count();
    EXPECT_EQ(ladder.update(levels(c.update, arena)), c.changed) << c.update;
    EXPECT_EQ(ladder.change_count(), count + (c.changed ? 1 : 0)) << c.update;
    EXPECT_EQ(ladder.to_price_sizes(), c.ascending) << c.update;
  }
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
