#include "market/price_ladder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "parse/arena.hpp"
#include "parse/json_reader.hpp"

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

// A ladder array as the loader hands it over: parsed under a ladder key, so
// all-[number, number] arrays arrive packed and anything else plain.
class LadderText {
 public:
  Value operator()(std::string_view text) {
    std::string member = "{\"atb\":" + std::string(text) + "}";
    parse::JsonResult parsed = parse::parse_json(member, arena_);
    EXPECT_EQ(parsed.error, "") << text;
    const Value* value = parsed.value.find(json::Key::kAtb);
    EXPECT_NE(value, nullptr) << text;
    return value != nullptr ? *value : Value();
  }

 private:
  parse::Arena arena_;
};

struct UpdateCase {
  const char* before;  // applied first, to a fresh ladder
  const char* update;
  bool changed;
  std::vector<PriceSizePair> ascending;  // read-out after both
};

class PriceLadderUpdate : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(PriceLadderUpdate, ChangesAndReadsOut) {
  const UpdateCase& c = GetParam();
  LadderText text;
  PriceLadder ladder(false);
  ladder.update(text(c.before));
  std::uint64_t count = ladder.change_count();
  EXPECT_EQ(ladder.update(text(c.update)), c.changed);
  EXPECT_EQ(ladder.change_count(), count + (c.changed ? 1 : 0));
  EXPECT_EQ(ladder.to_price_sizes(), c.ascending);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, PriceLadderUpdate,
    ::testing::Values(
        UpdateCase{"[]", "[]", false, {}},
        UpdateCase{"[]", "[[1.5, 10]]", true, {{1.5, 10.0}}},
        UpdateCase{"[[1.5, 10]]", "[[1.5, 10]]", false, {{1.5, 10.0}}},
        UpdateCase{"[[1.5, 10]]", "[[1.50, 10.0]]", false, {{1.5, 10.0}}},
        UpdateCase{"[[2, 10]]", "[[2.0, 4]]", true, {{2.0, 4.0}}},
        UpdateCase{"[[1.5, 10]]", "[[1.5, 11]]", true, {{1.5, 11.0}}},
        UpdateCase{"[[1.5, 10]]", "[[1.5, 0]]", true, {}},
        UpdateCase{"[[1.5, 10]]", "[[1.5, -0.0]]", true, {}},
        UpdateCase{"[[1.5, 10]]", "[[1.5, null]]", true, {}},
        UpdateCase{"[[1.5, 10]]", "[[1.5, \"5\"]]", true, {}},
        UpdateCase{"[]", "[[1.5, 0]]", false, {}},
        UpdateCase{"[]", "[[1.5, null]]", false, {}},
        UpdateCase{"[]", "[[1.5]]", false, {}},
        UpdateCase{"[]", "[1.5, 10]", false, {}},
        UpdateCase{"[]", "[{}, \"x\", null, [[1, 2], [3, 4]]]", false, {}},
        UpdateCase{"[[0, 7]]", "[[[1, 2], [3, 4]]]", true, {}},
        UpdateCase{"[]", "[[\"x\", 5]]", true, {{0.0, 5.0}}},
        UpdateCase{"[]", "[[1.5, 10, 99]]", true, {{1.5, 10.0}}},
        UpdateCase{"[]", "[[1.5, -3]]", true, {{1.5, -3.0}}},
        UpdateCase{"[]", "[[2, 3], [2.0, 0]]", true, {}},
        UpdateCase{"[[2, 3]]", "[[2, 0], [2, 3]]", true, {{2.0, 3.0}}},
        UpdateCase{"[]", "[[1.8, 1], [1.5, 2], [2.0, 3]]", true,
                   {{1.5, 2.0}, {1.8, 1.0}, {2.0, 3.0}}},
        UpdateCase{"[]", "[[18446744073709551615, 1], [-9223372036854775808, 2]]", true,
                   {{-9223372036854775808.0, 2.0}, {18446744073709551615.0, 1.0}}}));

TEST(PriceLadder, ZeroAndNegativeZeroAreTwoLevels) {
  LadderText text;
  PriceLadder ladder(false);
  EXPECT_TRUE(ladder.update(text("[[0.0, 1], [-0.0, 2]]")));
  EXPECT_EQ(ladder.size(), 2u);
  EXPECT_TRUE(ladder.update(text("[[0.0, 0]]")));
  std::vector<PriceSizePair> left = ladder.to_price_sizes();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(std::signbit(left[0].price));
  EXPECT_EQ(left[0].size, 2.0);
}

TEST(PriceLadder, ReadOutFollowsDirection) {
  LadderText text;
  PriceLadder back(true);
  PriceLadder lay(false);
  Value levels = text("[[1.5, 1], [2.0, 2], [1.8, 3]]");
  back.update(levels);
  lay.update(levels);
  EXPECT_EQ(back.to_price_sizes(),
            (std::vector<PriceSizePair>{{2.0, 2.0}, {1.8, 3.0}, {1.5, 1.0}}));
  EXPECT_EQ(lay.to_price_sizes(),
            (std::vector<PriceSizePair>{{1.5, 1.0}, {1.8, 3.0}, {2.0, 2.0}}));
}

TEST(PriceLadder, BothFormsOfTheSameLevelsAgree) {
  LadderText text;
  Value packed = text("[[1.5, 10], [2, 0], [3.25, 7]]");
  Value plain = text("[[1.5, 10, 0], [2, 0], [3.25, 7]]");
  ASSERT_EQ(packed.kind(), json::Kind::kLevels);
  ASSERT_EQ(plain.kind(), json::Kind::kArray);
  PriceLadder a(true);
  PriceLadder b(true);
  EXPECT_EQ(a.update(packed), b.update(plain));
  EXPECT_EQ(a.to_price_sizes(), b.to_price_sizes());
}

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
