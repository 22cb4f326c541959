#include "core/market/market_set.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace marrowfin::market {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests\' helpers

// Applies a message (a JSON array of market changes) and returns what it
// touched as (market id, image) pairs.
using Touched = std::vector<std::pair<std::string, bool>>;
class MarketSetTest : public ::testing::Test {
 protected:
  Touched apply(std::string_view changes, std::int64_t pt = 7) {
    json::Value message = test::parse_ok(changes, arena_);
    Touched touched;
    for (const MarketSet::Touched& t : set_.apply(message.items(), pt)) {
      touched.emplace_back(set_.market(t.market).market_id, t.image);
    }
    return touched;
  }

  util::Arena arena_;
  MarketSet set_;
};

TEST_F(MarketSetTest, ChangesWithoutAMarketIdAreDroppedUntilOneIsNamedThenGoToTheFirst) {
  EXPECT_EQ(apply(R"([{"rc": [{"id": 1}]}, {"id": ""}, {"id": 5}, 3, null])"), Touched{});
  EXPECT_EQ(set_.size(), 0u);
  EXPECT_EQ(apply(R"([{"id": "1.2"}, {"id": "1.1", "rc": [{"id": 1}]}, {"rc": [{"id": 2}]}])"),
            (Touched{{"1.2", false}, {"1.1", false}}));
  // The id-less change went to 1.2, the first market named, as the iterator does.
  EXPECT_EQ(set_.market(0).runners.size(), 1u);
  EXPECT_EQ(set_.market(1).runners.size(), 1u);
  EXPECT_EQ(apply(R"([{"id": 7, "rc": [{"id": 3}]}])", 9), (Touched{{"1.2", false}}));
  EXPECT_EQ(set_.market(0).runners.size(), 2u);
  EXPECT_EQ(set_.market(0).publish_time, 9);
  EXPECT_EQ(set_.market(1).publish_time, 7);  // untouched markets keep their state
  EXPECT_EQ(std::make_tuple(set_.size(), set_.market(0).market_id, set_.market(1).market_id),
            std::make_tuple(std::size_t{2}, "1.2", "1.1"));
  // A market is touched once, in the order first touched, and any image of it counts.
  apply(R"([{"id": "1.1"}, {"id": "1.2"}, {"id": "1.3"}])");
  EXPECT_EQ(apply(R"([{"id": "1.3"}, {"id": "1.1", "img": true}, {"id": "1.3", "img": true},
                      {"id": "1.1"}, {"id": "1.3", "img": false}, {"id": "1.4", "img": 1}])"),
            (Touched{{"1.3", true}, {"1.1", true}, {"1.4", false}}));
  EXPECT_EQ(apply("[]"), Touched{});
  EXPECT_EQ(apply(R"([{"id": "1.2"}, {"id": "1.2"}])"), (Touched{{"1.2", false}}));
}

}  // namespace
}  // namespace marrowfin::market
