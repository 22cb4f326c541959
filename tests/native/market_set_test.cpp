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
class MarketSetTest : public ::testing::Test {
 protected:
  std::vector<std::pair<std::string, bool>> apply(std::string_view changes, std::int64_t pt = 7) {
    json::Value message = test::parse_ok(changes, arena_);
    std::vector<std::pair<std::string, bool>> touched;
    for (const MarketSet::Touched& t : set_.apply(message.items(), pt)) {
      touched.emplace_back(set_.market(t.market).market_id, t.image);
    }
    return touched;
  }
  std::vector<std::string> ids() {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < set_.size(); ++i) out.push_back(set_.market(i).market_id);
    return out;
  }

  util::Arena arena_;
  MarketSet set_;
};

using Touched = std::vector<std::pair<std::string, bool>>;

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
  EXPECT_EQ(ids(), (std::vector<std::string>{"1.2", "1.1"}));
}

TEST_F(MarketSetTest, AMarketIsTouchedOnceInTheOrderFirstTouchedAndAnyImageOfItCounts) {
  apply(R"([{"id": "1.1"}, {"id": "1.2"}, {"id": "1.3"}])");
  EXPECT_EQ(apply(R"([{"id": "1.3"}, {"id": "1.1", "img": true}, {"id": "1.3", "img": true},
                      {"id": "1.1"}, {"id": "1.3", "img": false}, {"id": "1.4", "img": 1}])"),
            (Touched{{"1.3", true}, {"1.1", true}, {"1.4", false}}));
  EXPECT_EQ(apply("[]"), Touched{});
  EXPECT_EQ(apply(R"([{"id": "1.2"}, {"id": "1.2"}])"), (Touched{{"1.2", false}}));
}

TEST_F(MarketSetTest, EachMarketFoldsOnlyItsOwnChanges) {
  // The same runner id in two markets, and the first market's state as the
  // iterator's one cache has it.
  std::string messages[] = {
      R"([{"id": "1.1", "rc": [{"id": 4, "atb": [[2, 5]], "ltp": 2}]},
          {"id": "1.2", "marketDefinition": {"status": "SUSPENDED", "inPlay": true},
           "rc": [{"id": 4, "atb": [[3, 1]]}]}])",
      R"([{"rc": [{"id": 4, "atb": [[2, 0], [1.9, 8]]}]}, {"id": "1.2", "img": true,
           "rc": [{"id": 6, "trd": [[3, 2]]}]}])",
  };
  std::unique_ptr<MarketCache> alone;
  for (const std::string& text : messages) {
    json::Value message = test::parse_ok(text, arena_);
    for (const json::Value& change : message.items()) apply_to_market(alone, change, 7);
    set_.apply(message.items(), 7);
  }
  MarketCache& first = set_.market(0);
  ASSERT_EQ(first.runners.size(), 1u);
  const RunnerCache& four = first.runners.at({4, 0});
  EXPECT_EQ(four.available_to_back.to_price_sizes(), (std::vector<PriceSizePair>{{1.9, 8}}));
  EXPECT_EQ(four.change_count, alone->runners.at({4, 0}).change_count);
  EXPECT_EQ(first.status, "OPEN");
  MarketCache& second = set_.market(1);
  EXPECT_EQ(std::tie(second.status, second.in_play), std::make_tuple("SUSPENDED", true));
  ASSERT_EQ(second.runners.size(), 1u);  // the image dropped runner 4
  EXPECT_EQ(second.runners.at({6, 0}).traded_volume.size(), 1u);
}

}  // namespace
}  // namespace marrowfin::market
