#include "market/market_cache.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parse/arena.hpp"
#include "parse/json_reader.hpp"

namespace marrowfin::market {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

class CacheTest : public ::testing::Test {
 protected:
  json::Value parse(std::string_view text) {
    parse::JsonResult parsed = parse::parse_json(text, arena_);
    EXPECT_EQ(parsed.error, "") << text;
    return parsed.value;
  }
  void apply(std::string_view text, std::int64_t publish_time = 1) {
    cache_.update(parse(text), publish_time);
  }
  RunnerCache& runner(std::int64_t id, std::int64_t hc_key = 0) {
    return cache_.runners.at(RunnerKey{id, hc_key});
  }
  // The active count as a full scan finds it.
  std::uint32_t recount_active() const {
    std::uint32_t active = 0;
    for (const auto& entry : cache_.runners) active += entry.second.status == "ACTIVE" ? 1 : 0;
    return active;
  }

  parse::Arena arena_;
  MarketCache cache_{"1.23"};
};

struct HandicapCase {
  double handicap;
  std::int64_t key;
};

class HandicapKey : public ::testing::TestWithParam<HandicapCase> {};

TEST_P(HandicapKey, RoundsHalfAwayFromZeroAndSaturates) {
  EXPECT_EQ(handicap_key(GetParam().handicap), GetParam().key) << GetParam().handicap;
}

INSTANTIATE_TEST_SUITE_P(
    Values, HandicapKey,
    ::testing::Values(HandicapCase{0.0, 0}, HandicapCase{-0.0, 0}, HandicapCase{0.125, 13},
                      HandicapCase{-0.125, -13}, HandicapCase{0.375, 38},
                      HandicapCase{-0.375, -38}, HandicapCase{1.5, 150},
                      HandicapCase{-2.25, -225}, HandicapCase{0.0049, 0},
                      HandicapCase{1e300, kMax}, HandicapCase{-1e300, kMin},
                      HandicapCase{9.3e16, kMax}, HandicapCase{-9.2233720368547758e16, kMin},
                      HandicapCase{std::numeric_limits<double>::infinity(), kMax},
                      HandicapCase{-std::numeric_limits<double>::infinity(), kMin},
                      HandicapCase{std::numeric_limits<double>::quiet_NaN(), 0}));

class NonObjectChange : public CacheTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NonObjectChange, OnlyStoresThePublishTime) {
  apply(R"({"marketDefinition": {"status": "SUSPENDED", "runners": [{"id": 1}]},
            "rc": [{"id": 2, "atb": [[1.5, 3]]}]})");
  apply(GetParam(), 42);
  EXPECT_EQ(cache_.publish_time, 42);
  EXPECT_EQ(cache_.status, "SUSPENDED");
  EXPECT_EQ(cache_.definition_count, 1u);
  EXPECT_EQ(cache_.number_of_runners, 2u);
  EXPECT_EQ(cache_.number_of_active_runners, 2u);
  EXPECT_EQ(runner(2).change_count, 1u);
}

INSTANTIATE_TEST_SUITE_P(Values, NonObjectChange,
                         ::testing::Values("[]", R"([{"img": true}])", R"("img")", "null",
                                           "true", "-5", "1e308", "{}"));

TEST_F(CacheTest, DefinitionFieldsAreSetAndNeverCleared) {
  apply(R"({"marketDefinition": {
      "status": "SUSPENDED", "betDelay": 5, "bspReconciled": true, "complete": false,
      "crossMatching": false, "inPlay": true, "runnersVoidable": true, "numberOfWinners": 3,
      "eventId": "e", "eventTypeId": "7", "eventName": "n", "marketType": "WIN",
      "marketTime": "2021-03-29T13:00:00.000Z", "countryCode": "GB", "venue": "v",
      "raceType": "Flat", "bspMarket": true, "persistenceEnabled": false,
      "eachWayDivisor": 4, "timezone": "Europe/London", "turnInPlayEnabled": true,
      "bettingType": "ODDS", "name": "1m", "discountAllowed": true, "marketBaseRate": 5,
      "regulators": ["A", 1, "B"], "openDate": "o", "suspendTime": "s",
      "settledTime": "t", "version": 12345678901}})");
  auto check = [&] {
    EXPECT_EQ(cache_.status, "SUSPENDED");
    EXPECT_EQ(cache_.bet_delay, 5);
    EXPECT_TRUE(cache_.bsp_reconciled && cache_.in_play && cache_.runners_voidable &&
                cache_.bsp_market && cache_.turn_in_play_enabled && cache_.discount_allowed);
    EXPECT_FALSE(cache_.complete || cache_.cross_matching || cache_.persistence_enabled);
    EXPECT_EQ(cache_.number_of_winners, 3);
    EXPECT_EQ(cache_.event_id, "e");
    EXPECT_EQ(cache_.event_type_id, "7");
    EXPECT_EQ(cache_.event_name, "n");
    EXPECT_EQ(cache_.market_type, "WIN");
    EXPECT_EQ(cache_.market_time, "2021-03-29T13:00:00.000Z");
    EXPECT_EQ(cache_.country_code, "GB");
    EXPECT_EQ(cache_.venue, "v");
    EXPECT_EQ(cache_.race_type, "Flat");
    EXPECT_EQ(cache_.each_way_divisor, 4.0);
    EXPECT_EQ(cache_.timezone, "Europe/London");
    EXPECT_EQ(cache_.betting_type, "ODDS");
    EXPECT_EQ(cache_.name, "1m");
    EXPECT_EQ(cache_.market_base_rate, 5.0);
    EXPECT_EQ(cache_.regulators, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(cache_.open_date, "o");
    EXPECT_EQ(cache_.suspend_time, "s");
    EXPECT_EQ(cache_.settled_time, "t");
    EXPECT_EQ(cache_.version, 12345678901);
  };
  check();
  // Absent, null or mistyped: every field keeps its value.
  apply(R"({"marketDefinition": {}})");
  check();
  apply(R"({"marketDefinition": {
      "status": 1, "betDelay": 1.5, "bspReconciled": 0, "complete": "true",
      "crossMatching": null, "inPlay": [], "runnersVoidable": {}, "numberOfWinners": "3",
      "eventId": null, "eventTypeId": 7, "eventName": false, "marketType": [],
      "marketTime": null, "countryCode": 1, "venue": null, "raceType": null,
      "bspMarket": "x", "persistenceEnabled": 1, "eachWayDivisor": "4", "timezone": null,
      "turnInPlayEnabled": null, "bettingType": 1, "name": null, "discountAllowed": null,
      "marketBaseRate": null, "regulators": "A", "openDate": 1, "suspendTime": null,
      "settledTime": [], "version": 1.0}})");
  check();
  EXPECT_EQ(cache_.definition_count, 3u);
}

struct Low32Case {
  const char* json;
  std::int32_t stored;
};

class Low32Field : public CacheTest, public ::testing::WithParamInterface<Low32Case> {};

TEST_P(Low32Field, KeepsLowBitsOfIntegersOnly) {
  apply(R"({"marketDefinition": {"betDelay": 7, "numberOfWinners": 7}})");
  std::string value = GetParam().json;
  apply(R"({"marketDefinition": {"betDelay": )" + value + R"(, "numberOfWinners": )" + value +
        R"(, "runners": [{"id": 1, "sortPriority": )" + value + "}]}}");
  EXPECT_EQ(cache_.bet_delay, GetParam().stored);
  EXPECT_EQ(cache_.number_of_winners, GetParam().stored);
  apply(R"({"betDelay": 7})");
  apply(R"({"betDelay": )" + value + "}");
  EXPECT_EQ(cache_.bet_delay, GetParam().stored);
  // The record's default is 0, not the previous value.
  std::int32_t record_default = GetParam().stored == 7 ? 0 : GetParam().stored;
  EXPECT_EQ(cache_.definition_runners.at(0).sort_priority, record_default);
}

INSTANTIATE_TEST_SUITE_P(Values, Low32Field,
                         ::testing::Values(Low32Case{"2", 2}, Low32Case{"-1", -1},
                                           Low32Case{"4294967301", 5},
                                           Low32Case{"2147483648", -2147483648},
                                           Low32Case{"-4294967296", 0},
                                           Low32Case{"9223372036854775807", -1},
                                           Low32Case{"9223372036854775808", 7},
                                           Low32Case{"1.5", 7}, Low32Case{"2.0", 7},
                                           Low32Case{"\"3\"", 7}, Low32Case{"null", 7}));

TEST_F(CacheTest, MarketLevelFieldsWinOverTheDefinition) {
  apply(R"({"marketDefinition": {"status": "OPEN", "inPlay": false, "version": 1},
            "status": "SUSPENDED", "inPlay": true, "version": 2, "tv": 10,
            "lastMatchTime": 99, "bspReconciled": true, "complete": false,
            "crossMatching": false, "runnersVoidable": true, "betDelay": 3})");
  EXPECT_EQ(cache_.status, "SUSPENDED");
  EXPECT_TRUE(cache_.in_play);
  EXPECT_EQ(cache_.version, 2);
  EXPECT_EQ(cache_.total_matched, 10.0);
  EXPECT_EQ(cache_.last_match_time, 99);
  EXPECT_TRUE(cache_.bsp_reconciled && cache_.runners_voidable);
  EXPECT_FALSE(cache_.complete || cache_.cross_matching);
  EXPECT_EQ(cache_.bet_delay, 3);
  // Definition-only keys are not read from the change itself.
  apply(R"({"numberOfWinners": 4, "marketBaseRate": 2, "name": "x", "tv": "5",
            "lastMatchTime": 1.5})");
  EXPECT_EQ(cache_.number_of_winners, 1);
  EXPECT_EQ(cache_.market_base_rate, 0.0);
  EXPECT_FALSE(cache_.name);
  EXPECT_EQ(cache_.total_matched, 10.0);
  EXPECT_EQ(cache_.last_match_time, 99);
}

TEST_F(CacheTest, DefinitionCountsEveryDefinitionKey) {
  apply(R"({"marketDefinition": null})");
  apply(R"({"marketDefinition": []})");
  apply(R"({"marketDefinition": {"runners": "none"}})");
  EXPECT_EQ(cache_.definition_count, 3u);
  EXPECT_EQ(cache_.status, "OPEN");
  EXPECT_TRUE(cache_.runners.empty());
  EXPECT_TRUE(cache_.definition_runners.empty());
}

TEST_F(CacheTest, DefinitionRunnerRecordsAreConvertedAndReplacedWhole) {
  apply(R"({"marketDefinition": {"runners": [
      {"id": 5, "sortPriority": 2, "status": "REMOVED", "hc": -1.5, "adjustmentFactor": 7,
       "bsp": "NaN", "removalDate": "r", "name": "Horse"},
      3,
      {"id": "6", "bsp": 2.5, "status": 1, "hc": "1", "name": null}]}})");
  ASSERT_EQ(cache_.definition_runners.size(), 3u);
  const MarketDefinitionRunner& full = cache_.definition_runners[0];
  EXPECT_EQ(full.selection_id, 5);
  EXPECT_EQ(full.sort_priority, 2);
  EXPECT_EQ(full.status, "REMOVED");
  EXPECT_EQ(full.handicap, -1.5);
  EXPECT_EQ(full.adjustment_factor, 7.0);
  EXPECT_FALSE(full.bsp);  // text is not a number for the record
  EXPECT_EQ(full.removal_date, "r");
  EXPECT_EQ(full.name, "Horse");
  for (const MarketDefinitionRunner* record :
       {&cache_.definition_runners[1], &cache_.definition_runners[2]}) {
    EXPECT_EQ(record->selection_id, 0);
    EXPECT_EQ(record->status, "ACTIVE");
    EXPECT_EQ(record->handicap, 0.0);
    EXPECT_FALSE(record->adjustment_factor || record->removal_date || record->name);
  }
  EXPECT_EQ(cache_.definition_runners[2].bsp, 2.5);
  // Only the element with an integer id made a runner.
  EXPECT_EQ(cache_.number_of_runners, 1u);
  EXPECT_EQ(runner(5, -150).status, "REMOVED");

  apply(R"({"marketDefinition": {"runners": []}})");
  EXPECT_TRUE(cache_.definition_runners.empty());
  EXPECT_EQ(cache_.number_of_runners, 1u);  // runners leave only through an image
}

TEST_F(CacheTest, DefinitionSynchronisesListedRunnersAndCountsEachListing) {
  apply(R"({"marketDefinition": {"runners": [
      {"id": 1, "status": "ACTIVE", "bsp": 2.5, "adjustmentFactor": 10, "removalDate": "a"},
      {"id": 2, "bsp": "NaN"}]},
      "rc": [{"id": 3, "ltp": 4}]})");
  EXPECT_EQ(runner(1).actual_sp, SpValue(2.5));
  EXPECT_EQ(runner(2).actual_sp, SpValue(std::string("NaN")));
  EXPECT_EQ(runner(1).adjustment_factor, 10.0);
  EXPECT_EQ(runner(1).removal_date, "a");

  // Nothing differs, still one more per listing; runner 3 is not listed.
  apply(R"({"marketDefinition": {"runners": [
      {"id": 1, "status": "ACTIVE", "bsp": 2.5, "adjustmentFactor": 10, "removalDate": "a"},
      {"id": 2, "bsp": "NaN"}, {"id": 2, "bsp": "NaN"}]}})");
  EXPECT_EQ(runner(1).change_count, 2u);
  EXPECT_EQ(runner(2).change_count, 3u);
  EXPECT_EQ(runner(3).change_count, 1u);

  // Missing "bsp" clears the starting price; missing "status" keeps the status;
  // mistyped values keep the old ones.
  apply(R"({"rc": [{"id": 1, "status": "WINNER"}]})");
  apply(R"({"marketDefinition": {"runners": [
      {"id": 1, "adjustmentFactor": "x", "removalDate": 3},
      {"id": 2, "status": "REMOVED", "bsp": null}]}})");
  EXPECT_EQ(runner(1).actual_sp, SpValue());
  EXPECT_EQ(runner(1).status, "WINNER");
  EXPECT_EQ(runner(1).adjustment_factor, 10.0);
  EXPECT_EQ(runner(1).removal_date, "a");
  EXPECT_EQ(runner(2).actual_sp, SpValue());
  EXPECT_EQ(runner(2).status, "REMOVED");
  EXPECT_EQ(cache_.number_of_active_runners, 1u);  // runner 3 only
}

// Each case applies one runner change to runner 7 as the fixture left it and
// says whether its change count moves.
struct RunnerChangeCase {
  const char* change;
  bool counts;
};

class RunnerChange : public CacheTest, public ::testing::WithParamInterface<RunnerChangeCase> {
 protected:
  void SetUp() override {
    apply(R"({"rc": [{"id": 7, "status": "ACTIVE", "adjustmentFactor": 2, "ltp": 3,
                      "tv": 10, "removalDate": "x", "atb": [[1.5, 10]], "atl": [[2, 1]],
                      "trd": [[1.5, 3]], "spb": [[4, 1]], "spl": [[5, 1]], "spn": 4,
                      "spf": "NaN"}]})");
  }
};

TEST_P(RunnerChange, CountsOnlyEffectiveChanges) {
  std::uint64_t before = runner(7).change_count;
  apply(GetParam().change);
  EXPECT_EQ(runner(7).change_count, before + (GetParam().counts ? 1 : 0)) << GetParam().change;
  EXPECT_EQ(cache_.number_of_runners, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RunnerChange,
    ::testing::Values(
        RunnerChangeCase{R"({"rc": [{"id": 7}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "hc": 0}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "status": "ACTIVE"}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "status": "REMOVED"}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "status": null}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "adjustmentFactor": 2.0}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "adjustmentFactor": 2.5}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "ltp": 3}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "ltp": 3.05}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "ltp": "3.05"}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "tv": 10}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "tv": 11}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "removalDate": "x"}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "removalDate": "y"}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "removalDate": null}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "atb": [[1.5, 10]], "atl": [[2, 1, 0]]}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "atb": [[1.6, 0]], "trd": [[9, null]]}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "atb": [[1.5, 0]]}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "atl": [[2, 2]]}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "trd": [[1.5, 4]]}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "spb": [[4, null]]}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "spl": [[6, 1, 1]]}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "atb": {"1.5": 0}, "spb": 4}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "spn": 4}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "spn": null}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "spf": "NaN"}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": 7, "spf": []}]})", true},
        RunnerChangeCase{R"({"rc": [{"id": "7", "status": "REMOVED"}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7.0, "status": "REMOVED"}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "hc": 0.001, "status": "REMOVED"}]})", true},
        RunnerChangeCase{R"({"rc": {"id": 7, "status": "REMOVED"}})", false},
        RunnerChangeCase{R"({"rc": [null, 7, [7], {"status": "REMOVED"}]})", false},
        RunnerChangeCase{R"({"rc": [{"id": 7, "ltp": 3}, {"id": 7, "ltp": 5}]})", true}));

TEST_F(CacheTest, RunnerChangeStoresItsValues) {
  apply(R"({"rc": [{"id": 7, "status": "REMOVED", "adjustmentFactor": 2, "ltp": 3,
                    "tv": 10, "removalDate": "x", "atb": [[1.5, 10], [1.6, 2]],
                    "atl": [[2, 1], [1.9, 3]], "trd": [[1.5, 3], [1.4, 1]],
                    "spb": [[2.0, 10.0], [3.0, 5.0]], "spl": [[5.0, 2.0], [4.0, 1.0]],
                    "spn": 4, "spf": "Infinity"}]})");
  RunnerCache& r = runner(7);
  EXPECT_EQ(r.selection_id, 7);
  EXPECT_EQ(r.status, "REMOVED");
  EXPECT_EQ(r.adjustment_factor, 2.0);
  EXPECT_EQ(r.last_price_traded, 3.0);
  EXPECT_EQ(r.total_matched, 10.0);
  EXPECT_EQ(r.removal_date, "x");
  EXPECT_EQ(r.near_price, SpValue(4.0));
  EXPECT_EQ(r.far_price, SpValue(std::string("Infinity")));
  using Pairs = std::vector<PriceSizePair>;
  EXPECT_EQ(r.available_to_back.to_price_sizes(), (Pairs{{1.6, 2.0}, {1.5, 10.0}}));
  EXPECT_EQ(r.available_to_lay.to_price_sizes(), (Pairs{{1.9, 3.0}, {2.0, 1.0}}));
  EXPECT_EQ(r.traded_volume.to_price_sizes(), (Pairs{{1.4, 1.0}, {1.5, 3.0}}));
  EXPECT_EQ(r.sp_back.to_price_sizes(), (Pairs{{3.0, 5.0}, {2.0, 10.0}}));
  EXPECT_EQ(r.sp_lay.to_price_sizes(), (Pairs{{4.0, 1.0}, {5.0, 2.0}}));
  EXPECT_EQ(r.change_count, 1u);
  EXPECT_EQ(cache_.number_of_active_runners, 0u);
}

TEST_F(CacheTest, HandicapSeparatesRunnersOfOneSelection) {
  apply(R"({"marketDefinition": {"runners": [{"id": 7, "hc": 1.5}]},
            "rc": [{"id": 7, "ltp": 2}, {"id": 7, "hc": 0, "tv": 1},
                   {"id": 7, "hc": "1.5", "atb": [[2, 1]]}, {"id": 7, "hc": 0.125},
                   {"id": 7, "hc": 0.1251}, {"id": 7, "hc": -0.125}]})");
  EXPECT_EQ(cache_.number_of_runners, 4u);
  EXPECT_EQ(runner(7, 150).handicap, 1.5);
  EXPECT_EQ(runner(7).change_count, 3u);  // "hc" missing, 0 and mistyped alike
  EXPECT_EQ(runner(7, 13).handicap, 0.125);  // the first handicap read stays
  EXPECT_EQ(runner(7, -13).handicap, -0.125);
  std::vector<RunnerKey> order;
  for (RunnerCache* r : cache_.sorted_runners()) {
    order.push_back({r->selection_id, handicap_key(r->handicap)});
  }
  EXPECT_EQ(order, (std::vector<RunnerKey>{{7, -13}, {7, 0}, {7, 13}, {7, 150}}));
}

TEST_F(CacheTest, ImageDropsRunnersAndKeepsMarketState) {
  apply(R"({"marketDefinition": {"status": "SUSPENDED", "runners": [{"id": 1}, {"id": 2}]},
            "rc": [{"id": 1, "atb": [[1.5, 2]]}], "tv": 5})");
  apply(R"({"img": true, "rc": [{"id": 1, "ltp": 3}]})");
  EXPECT_EQ(cache_.number_of_runners, 1u);
  EXPECT_EQ(cache_.number_of_active_runners, 1u);
  EXPECT_EQ(runner(1).change_count, 1u);
  EXPECT_TRUE(runner(1).available_to_back.empty());
  EXPECT_EQ(cache_.status, "SUSPENDED");
  EXPECT_EQ(cache_.total_matched, 5.0);
  EXPECT_EQ(cache_.definition_count, 1u);
  EXPECT_EQ(cache_.definition_runners.size(), 2u);
  ASSERT_EQ(cache_.sorted_runners().size(), 1u);
  EXPECT_EQ(cache_.sorted_runners()[0], &runner(1));

  // Only the boolean true is an image.
  for (const char* not_image : {R"({"img": false})", R"({"img": 1})", R"({"img": "true"})"}) {
    apply(not_image);
    EXPECT_EQ(cache_.number_of_runners, 1u) << not_image;
  }
  apply(R"({"img": true})");
  EXPECT_EQ(cache_.number_of_runners, 0u);
  EXPECT_TRUE(cache_.sorted_runners().empty());
}

TEST_F(CacheTest, ActiveCountFollowsEveryStatusChange) {
  apply(R"({"marketDefinition": {"runners": [{"id": 1}, {"id": 2, "status": "REMOVED"}]},
            "rc": [{"id": 3, "status": "active"}, {"id": 4}]})");
  EXPECT_EQ(cache_.number_of_active_runners, 2u);
  apply(R"({"rc": [{"id": 2, "status": "ACTIVE"}, {"id": 1, "status": "WINNER"},
                   {"id": 3, "status": "ACTIVE"}, {"id": 4, "status": "ACTIVE"}]})");
  EXPECT_EQ(cache_.number_of_active_runners, 3u);
  apply(R"({"img": true, "marketDefinition": {"runners": [{"id": 1, "status": "LOSER"}]},
            "rc": [{"id": 2}]})");
  EXPECT_EQ(cache_.number_of_runners, 2u);
  EXPECT_EQ(cache_.number_of_active_runners, 1u);
}

TEST_F(CacheTest, SortedRunnersFollowAdditions) {
  apply(R"({"rc": [{"id": 5}, {"id": 3, "hc": 1}, {"id": 3, "hc": -0.5}]})");
  auto ids = [&] {
    std::vector<RunnerKey> keys;
    for (RunnerCache* r : cache_.sorted_runners()) {
      keys.push_back({r->selection_id, handicap_key(r->handicap)});
    }
    return keys;
  };
  EXPECT_EQ(ids(), (std::vector<RunnerKey>{{3, -50}, {3, 100}, {5, 0}}));
  apply(R"({"rc": [{"id": 5, "ltp": 2}]})");
  EXPECT_EQ(ids(), (std::vector<RunnerKey>{{3, -50}, {3, 100}, {5, 0}}));
  apply(R"({"rc": [{"id": -9223372036854775808}, {"id": 4}]})");
  EXPECT_EQ(ids(), (std::vector<RunnerKey>{{kMin, 0}, {3, -50}, {3, 100}, {4, 0}, {5, 0}}));
}

TEST_F(CacheTest, LargeMarketsFindEveryRunnerAgain) {
  auto change = [](int first, int count, const char* field) {
    std::string text = R"({"rc": [)";
    for (int i = first; i < first + count; ++i) {
      text += (i > first ? ", " : "") + std::string(R"({"id": )") + std::to_string(i % 97) +
              R"(, "hc": )" + std::to_string(i / 97) + ", " + field + "}";
    }
    return text + "]}";
  };
  // Added in steps, so the lookups see the runner set grow many times.
  for (int first = 0; first < 1000; first += 50) apply(change(first, 50, R"("ltp": 2)"));
  apply(change(0, 1000, R"("ltp": 3)"));
  EXPECT_EQ(cache_.number_of_runners, 1000u);
  for (const auto& [key, r] : cache_.runners) ASSERT_EQ(r.change_count, 2u);
  apply(R"({"img": true})");
  apply(change(0, 3, R"("ltp": 3)"));
  EXPECT_EQ(cache_.number_of_runners, 3u);
  EXPECT_EQ(runner(0).change_count, 1u);
}

// Random documents built from the stream's keys with values of every type at
// every position: the update must absorb them and keep its derived counts
// right.
class RandomDocument {
 public:
  explicit RandomDocument(std::uint64_t seed) : rng_(seed) {}

  std::string change() { return object(0); }

 private:
  std::string value(int depth) {
    switch (pick(depth > 4 ? 7 : 10)) {
      case 0: return "null";
      case 1: return pick(2) ? "true" : "false";
      case 2: return std::to_string(static_cast<std::int64_t>(rng_()) >> pick(64));
      case 3: return kNumbers[pick(std::size(kNumbers))];
      case 4: return kStrings[pick(std::size(kStrings))];
      case 5: return "[[" + price() + ", " + price() + "]]";
      case 6: return "[" + price() + ", " + price() + "]";
      case 7: return object(depth + 1);
      case 8: return object(depth + 1);
      default: {
        std::string out = "[";
        for (std::size_t i = 0, n = pick(4); i < n; ++i) {
          out += (i ? ", " : "") + value(depth + 1);
        }
        return out + "]";
      }
    }
  }
  std::string object(int depth) {
    std::string out = "{";
    for (std::size_t i = 0, n = pick(depth == 0 ? 8 : 5); i < n; ++i) {
      out += (i ? ", \"" : "\"") + std::string(kKeys[pick(std::size(kKeys))]) + "\": ";
      // Often a list of runner-like objects, so runners exist to be changed.
      out += pick(4) == 0 ? "[{\"id\": " + std::to_string(pick(4)) + ", \"status\": " +
                                   kStrings[pick(std::size(kStrings))] + "}]"
                             : value(depth + 1);
    }
    return out + "}";
  }
  std::string price() { return kNumbers[pick(std::size(kNumbers))]; }
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }

  static constexpr const char* kKeys[] = {
      "id", "hc", "img", "marketDefinition", "rc", "runners", "status", "atb", "atl",
      "trd", "spb", "spl", "spn", "spf", "bsp", "tv", "ltp", "betDelay", "version",
      "regulators", "adjustmentFactor", "removalDate", "sortPriority", "lastMatchTime"};
  static constexpr const char* kNumbers[] = {
      "0", "-0.0", "1", "1.5", "-1", "1e308", "-1e308", "18446744073709551615",
      "-9223372036854775808", "9223372036854775808", "0.125", "2"};
  static constexpr const char* kStrings[] = {"\"ACTIVE\"", "\"REMOVED\"", "\"\"", "\"NaN\""};
  std::mt19937_64 rng_;
};

TEST_F(CacheTest, RandomDocumentsAreAbsorbed) {
  RandomDocument documents(7);
  for (int i = 0; i < 3000; ++i) {
    std::string text = documents.change();
    apply(text, i + 1);
    ASSERT_EQ(cache_.publish_time, i + 1);
    ASSERT_EQ(cache_.number_of_runners, cache_.runners.size()) << text;
    ASSERT_EQ(cache_.number_of_active_runners, recount_active()) << text;
    ASSERT_EQ(cache_.sorted_runners().size(), cache_.runners.size());
  }
  EXPECT_GT(cache_.definition_count, 0u);
}

// The market changes of one stream line: its "mc" array, or the line itself
// when it is a bare market change.
std::span<const json::Value> market_changes(const json::Value& line) {
  if (const json::Value* mc = line.find(json::Key::kMc); mc && mc->is_array()) return mc->items();
  if (line.find(json::Key::kMarketDefinition) || line.find(json::Key::kRc)) return {&line, 1};
  return {};
}

// Whole recorded streams: the derived counts stay right message after message
// and the runner order holds.
TEST(PeerRecordings, ApplyWithConsistentCounts) {
  const std::filesystem::path folder = "/work/shared/data/peer";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no peer recordings";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string extension = entry.path().extension().string();
    if (extension == ".md" || extension == ".gz") continue;
    std::ifstream in(entry.path());
    parse::Arena arena;
    MarketCache cache("peer");
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      parse::JsonResult parsed = parse::parse_json(line, arena);
      ASSERT_EQ(parsed.error, "") << entry.path();
      for (const json::Value& change : market_changes(parsed.value)) cache.update(change, 1);
      std::uint32_t active = 0;
      for (const auto& [key, r] : cache.runners) active += r.status == "ACTIVE" ? 1 : 0;
      ASSERT_EQ(cache.number_of_active_runners, active) << entry.path();
      std::span<RunnerCache* const> sorted = cache.sorted_runners();
      ASSERT_EQ(sorted.size(), cache.runners.size());
      for (std::size_t i = 1; i < sorted.size(); ++i) {
        ASSERT_LT((RunnerKey{sorted[i - 1]->selection_id, handicap_key(sorted[i - 1]->handicap)}),
                  (RunnerKey{sorted[i]->selection_id, handicap_key(sorted[i]->handicap)}));
      }
    }
    EXPECT_GT(cache.runners.size(), 0u) << entry.path();
    ++files;
  }
  EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace marrowfin::market
