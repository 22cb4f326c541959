#include "core/market/level_ladder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace marrowfin::market {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests\' helpers

using Pairs = std::vector<PriceSizePair>;

json::Value levels(std::string_view text, util::Arena& arena) { return member_value("batb", text, arena); }

TEST(LevelLadder, UpdateChangesAndReadsOutInLevelOrder) {
  const struct {
    const char* before;  // applied first, to a fresh ladder
    const char* update;
    bool changed;
    Pairs levels;  // read-out after both
  } cases[] = {
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
  for (const auto& c : cases) {
    util::Arena arena;
    LevelLadder ladder;
    ladder.update(levels(c.before, arena));
    std::uint64_t count = ladder.change_count();
    EXPECT_EQ(ladder.update(levels(c.update, arena)), c.changed) << c.update;
    EXPECT_EQ(ladder.change_count(), count + (c.changed ? 1 : 0)) << c.update;
    EXPECT_EQ(Pairs(ladder.levels().begin(), ladder.levels().end()), c.levels) << c.update;
  }
}

}  // namespace
}  // namespace marrowfin::market
