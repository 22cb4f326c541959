#include "core/market/market_cache.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.hpp"

namespace marrowfin::market {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests\' helpers

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

class CacheTest : public ::testing::Test {
 protected:
  void apply(std::string_view text, std::int64_t publish_time = 1) {
    cache_.update(test::parse_ok(text, arena_), publish_time);
  }
  RunnerCache& runner(std::int64_t id, std::int64_t hc_key = 0) {
    return cache_.runners.at(RunnerKey{id, hc_key});
  }
  std::vector<RunnerKey> order() { return keys(cache_.sorted_runners()); }
  static std::vector<RunnerKey> keys(std::span<RunnerCache* const> runners) {
    std::vector<RunnerKey> keys;
    for (RunnerCache* r : runners) keys.push_back({r->selection_id, handicap_key(r->handicap)});
    return keys;
  }

  util::Arena arena_;
  MarketCache cache_{"1.23"};
};

TEST(HandicapKey, RoundsHalfAwayFromZeroAndSaturates) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, std::int64_t> cases[] = {
      {0.0, 0}, {-0.0, 0}, {0.125, 13}, {-0.125, -13}, {-2.25, -225}, {0.0049, 0}, {1e300, kMax},
      {-1e300, kMin}, {9.3e16, kMax}, {-9.2233720368547758e16, kMin}, {kInf, kMax}, {-kInf, kMin},
      {std::nan(""), 0},
  };
  for (auto [handicap, key] : cases) EXPECT_EQ(handicap_key(handicap), key) << handicap;
}

// The definition's text and flag fields by key, so that one list drives the
// whole check.
const std::pair<const char*, std::optional<std::string> MarketCache::*> kTexts[] = {
    {"eventId", &MarketCache::event_id},         {"eventTypeId", &MarketCache::event_type_id},
    {"eventName", &MarketCache::event_name},     {"marketType", &MarketCache::market_type},
    {"marketTime", &MarketCache::market_time},   {"countryCode", &MarketCache::country_code},
    {"venue", &MarketCache::venue},              {"raceType", &MarketCache::race_type},
    {"timezone", &MarketCache::timezone},        {"bettingType", &MarketCache::betting_type},
    {"name", &MarketCache::name},                {"openDate", &MarketCache::open_date},
    {"suspendTime", &MarketCache::suspend_time}, {"settledTime", &MarketCache::settled_time},
};
const std::pair<const char*, bool MarketCache::*> kFlags[] = {
    {"bspReconciled", &MarketCache::bsp_reconciled}, {"complete", &MarketCache::complete},
    {"crossMatching", &MarketCache::cross_matching}, {"inPlay", &MarketCache::in_play},
    {"runnersVoidable", &MarketCache::runners_voidable}, {"bspMarket", &MarketCache::bsp_market},
    {"persistenceEnabled", &MarketCache::persistence_enabled},
    {"turnInPlayEnabled", &MarketCache::turn_in_play_enabled},
    {"discountAllowed", &MarketCache::discount_allowed},
};

TEST_F(CacheTest, DefinitionFieldsAreSetAndNeverClearedAndEveryDefinitionCounts) {
  const MarketCache fresh("fresh");
  // Each text gets its own key as value, each flag the opposite of its default.
  std::string set = R"({"status": "SUSPENDED", "betDelay": 5, "numberOfWinners": 3,
      "eachWayDivisor": 4, "marketBaseRate": 5, "regulators": ["A", 1, "B"],
      "version": 12345678901)";
  std::string mistyped = R"({"status": 1, "betDelay": 1.5, "numberOfWinners": "3",
      "eachWayDivisor": "4", "marketBaseRate": null, "regulators": "A", "version": 1.0)";
  const char* odd[] = {"false", "null", "1", "[]", "{}", "\"true\""};
  int i = 0;
  for (auto [key, field] : kTexts) {
    set += ", \"" + std::string(key) + "\": \"" + key + "\"";
    mistyped += ", \"" + std::string(key) + "\": " + odd[i++ % 5];
  }
  for (auto [key, field] : kFlags) {
    set += ", \"" + std::string(key) + "\": " + (fresh.*field ? "false" : "true");
    mistyped += ", \"" + std::string(key) + "\": " + odd[1 + i++ % 5];
  }
  // Absent, null or mistyped: every field keeps its value.
  for (std::string definition : {set + "}", std::string("{}"), mistyped + "}", std::string("null"),
                                 std::string("[]"), std::string(R"({"runners": "none"})")}) {
    apply("{\"marketDefinition\": " + definition + "}");
    for (auto [key, field] : kTexts) EXPECT_EQ(cache_.*field, key);
    for (auto [key, field] : kFlags) EXPECT_NE(cache_.*field, fresh.*field) << key;
    EXPECT_EQ(std::tie(cache_.status, cache_.bet_delay, cache_.number_of_winners,
                       cache_.each_way_divisor, cache_.market_base_rate, cache_.version),
              std::make_tuple("SUSPENDED", 5, 3, 4.0, 5.0, 12345678901));
    EXPECT_EQ(cache_.regulators, (std::vector<std::string>{"A", "B"}));
  }
  EXPECT_EQ(cache_.definition_count, 6u);
  EXPECT_TRUE(cache_.runners.empty() && cache_.definition_runners.empty());
}

TEST_F(CacheTest, ThirtyTwoBitFieldsKeepTheLowBitsOfIntegersOnly) {
  const std::pair<std::string, std::int32_t> cases[] = {
      {"2", 2}, {"-1", -1}, {"4294967301", 5}, {"2147483648", -2147483648}, {"-4294967296", 0},
      {"9223372036854775807", -1},
      {"9223372036854775808", 7},  // no integer of 64 bits: kept like a mistyped value
      {"1.5", 7}, {"2.0", 7}, {"\"3\"", 7}, {"null", 7},
  };
  for (const auto& [v, stored] : cases) {
    apply(R"({"marketDefinition": {"betDelay": 7, "numberOfWinners": 7}})");
    apply(R"({"marketDefinition": {"betDelay": )" + v + R"(, "numberOfWinners": )" + v +
          R"(, "runners": [{"id": 1, "sortPriority": )" + v + "}]}}");
    EXPECT_EQ(cache_.bet_delay, stored) << v;
    EXPECT_EQ(cache_.number_of_winners, stored) << v;
    // The record's default is 0, not the previous value.
    EXPECT_EQ(cache_.definition_runners.at(0).sort_priority, stored == 7 ? 0 : stored) << v;
    apply(R"({"betDelay": 7})");
    apply(R"({"betDelay": )" + v + "}");
    EXPECT_EQ(cache_.bet_delay, stored) << v;
  }
}

TEST_F(CacheTest, MarketLevelFieldsWinOverTheDefinition) {
  apply(R"({"marketDefinition": {"status": "OPEN", "inPlay": false, "version": 1},
            "status": "SUSPENDED", "inPlay": true, "version": 2, "tv": 10,
            "lastMatchTime": 99, "bspReconciled": true, "complete": false,
            "crossMatching": false, "runnersVoidable": true, "betDelay": 3})");
  EXPECT_EQ(std::tie(cache_.status, cache_.version, cache_.bet_delay),
            std::make_tuple("SUSPENDED", 2, 3));
  EXPECT_TRUE(cache_.in_play && cache_.bsp_reconciled && cache_.runners_voidable);
  EXPECT_FALSE(cache_.complete || cache_.cross_matching);
  // Definition-only keys are not read from the change itself; mistyped
  // market-level values keep the old ones.
  apply(R"({"numberOfWinners": 4, "marketBaseRate": 2, "name": "x", "tv": "5",
            "lastMatchTime": 1.5})");
  EXPECT_EQ(std::tie(cache_.number_of_winners, cache_.market_base_rate, cache_.total_matched),
            std::make_tuple(1, 0.0, 10.0));
  EXPECT_FALSE(cache_.name);
  EXPECT_EQ(cache_.last_match_time, 99);
}

TEST_F(CacheTest, DefinitionRunnerRecordsAreConvertedAndReplacedWhole) {
  apply(R"({"marketDefinition": {"runners": [
      {"id": 5, "sortPriority": 2, "status": "REMOVED", "hc": -1.5, "adjustmentFactor": 7,
       "bsp": "NaN", "removalDate": "r", "name": "Horse"},
      3,
      {"id": "6", "bsp": 2.5, "status": 1, "hc": "1", "name": null}]}})");
  ASSERT_EQ(cache_.definition_runners.size(), 3u);
  const MarketDefinitionRunner& full = cache_.definition_runners[0];
  EXPECT_EQ(std::tie(full.selection_id, full.sort_priority, full.status, full.handicap,
                     full.adjustment_factor, full.removal_date, full.name),
            std::make_tuple(5, 2, "REMOVED", -1.5, 7.0, "r", "Horse"));
  EXPECT_FALSE(full.bsp);  // text is not a number for the record
  for (const auto& r : {cache_.definition_runners[1], cache_.definition_runners[2]}) {
    EXPECT_EQ(std::tie(r.selection_id, r.status, r.handicap), std::make_tuple(0, "ACTIVE", 0.0));
    EXPECT_FALSE(r.adjustment_factor || r.removal_date || r.name);
  }
  EXPECT_EQ(cache_.definition_runners[2].bsp, 2.5);
  // Only the element with an integer id made a runner.
  EXPECT_EQ(cache_.number_of_runners, 1u);
  EXPECT_EQ(runner(5, -150).status, "REMOVED");

  apply(R"({"marketDefinition": {"runners": []}})");
  EXPECT_TRUE(cache_.definition_runners.empty());
  EXPECT_EQ(cache_.number_of_runners, 1u);  // runners leave only through an image
}

TEST_F(CacheTest, DefinitionSynchronisesListedRunnersAndTheActiveCountFollows) {
  const char* listing = R"({"id": 1, "status": "ACTIVE", "bsp": 2.5, "adjustmentFactor": 10,
                            "removalDate": "a"}, {"id": 2, "bsp": "NaN"})";
  apply(R"({"marketDefinition": {"runners": [)" + std::string(listing) +
        R"(]}, "rc": [{"id": 3, "ltp": 4}]})");
  EXPECT_EQ(std::tie(runner(1).actual_sp, runner(1).adjustment_factor, runner(1).removal_date),
            std::make_tuple(SpValue(2.5), 10.0, "a"));
  EXPECT_EQ(runner(2).actual_sp, SpValue(std::string("NaN")));
  // Nothing differs, still one more per listing; runner 3 is not listed.
  apply(R"({"marketDefinition": {"runners": [)" + std::string(listing) +
        R"(, {"id": 2, "bsp": "NaN"}]}})");
  EXPECT_EQ(std::tie(runner(1).change_count, runner(2).change_count, runner(3).change_count),
            std::make_tuple(2u, 3u, 1u));
  // A definition describes its runners whole: a missing or mistyped "bsp",
  // "adjustmentFactor" or "removalDate" clears the runner's (a reinstated
  // runner has no removal date); a missing "status" keeps the status.
  apply(R"({"rc": [{"id": 1, "status": "WINNER"}]})");
  apply(R"({"marketDefinition": {"runners": [
      {"id": 1, "adjustmentFactor": "x", "removalDate": 3},
      {"id": 2, "status": "REMOVED", "bsp": null}]}})");
  EXPECT_EQ(std::tie(runner(1).actual_sp, runner(1).status, runner(1).adjustment_factor,
                     runner(1).removal_date, runner(2).actual_sp, runner(2).status),
            std::make_tuple(SpValue(), "WINNER", std::nullopt, std::nullopt, SpValue(), "REMOVED"));
  // A runner change still sets them, and only the next definition clears them.
  apply(R"({"rc": [{"id": 2, "removalDate": "b", "adjustmentFactor": 5}]})");
  EXPECT_EQ(std::tie(runner(2).removal_date, runner(2).adjustment_factor),
            std::make_tuple("b", 5.0));
  apply(R"({"rc": [{"id": 2, "ltp": 2}]})");
  EXPECT_EQ(runner(2).removal_date, "b");
  apply(R"({"marketDefinition": {"runners": [{"id": 2, "status": "REMOVED"}]}})");
  EXPECT_EQ(std::tie(runner(2).removal_date, runner(2).adjustment_factor),
            std::make_tuple(std::nullopt, std::nullopt));
  EXPECT_EQ(cache_.number_of_active_runners, 1u);  // runner 3 only
  apply(R"({"rc": [{"id": 2, "status": "ACTIVE"}, {"id": 3, "status": "active"}]})");
  EXPECT_EQ(cache_.number_of_active_runners, 1u);  // runner 2 only
}

// Each "rc" is applied to runner 7 as the first one left it: does its change
// count move?
TEST(RunnerChange, CountsOnlyEffectiveChanges) {
  const std::pair<const char*, bool> cases[] = {
      {R"([{"id": 7}])", false},
      {R"([{"id": 7, "hc": 0, "status": "ACTIVE", "adjustmentFactor": 2.0, "ltp": 3, "tv": 10,
             "removalDate": "x"}])", false},
      {R"([{"id": 7, "status": null, "removalDate": null, "ltp": "3.05", "tv": "11"}])", false},
      // (A new status, price, volume or level counts: test_snapshot.py's rebuilt runners.)
      {R"([{"id": 7, "adjustmentFactor": 2.5}])", true}, {R"([{"id": 7, "removalDate": "y"}])", true},
      {R"([{"id": 7, "atb": [[1.5, 10]], "atl": [[2, 1, 0]]}])", false},
      {R"([{"id": 7, "atb": [[1.6, 0]], "trd": [[9, null]]}])", false},
      {R"([{"id": 7, "atb": {"1.5": 0}, "spb": 4}])", false},
      {R"([{"id": 7, "spb": [[4, null]]}])", true}, {R"([{"id": 7, "spl": [[6, 1, 1]]}])", true},
      // Best-offers ladders count only while shown: this runner's full
      // ladders have levels.
      {R"([{"id": 7, "batb": [[0, 1.5, 10]], "bdatl": [[0, 2, 1]]}])", false},
      // A present starting price always counts, the same value or not.
      {R"([{"id": 7, "spn": 4}])", true}, {R"([{"id": 7, "spf": []}])", true},
      // No integer id, no runner.
      {R"([{"id": "7", "status": "REMOVED"}])", false},
      {R"([{"id": 7.0, "status": "REMOVED"}])", false},
      {R"({"id": 7, "status": "REMOVED"})", false},
      {R"([null, 7, [7], {"status": "REMOVED"}])", false},
      {R"([{"id": 7, "hc": 0.001, "status": "REMOVED"}])", true},
      {R"([{"id": 7, "ltp": 3}, {"id": 7, "ltp": 5}])", true},
  };
  for (auto [change, counts] : cases) {
    util::Arena arena;
    MarketCache cache("1.23");
    auto apply = [&](const std::string& text) { cache.update(test::parse_ok(text, arena), 1); };
    apply(R"({"rc": [{"id": 7, "status": "ACTIVE", "adjustmentFactor": 2, "ltp": 3, "tv": 10,
                      "removalDate": "x", "atb": [[1.5, 10]], "atl": [[2, 1]], "trd": [[1.5, 3]],
                      "spb": [[4, 1]], "spl": [[5, 1]], "spn": 4, "spf": "NaN"}]})");
    apply(R"({"rc": )" + std::string(change) + "}");
    EXPECT_EQ(cache.runners.at({7, 0}).change_count, counts ? 2u : 1u) << change;
    EXPECT_EQ(cache.number_of_runners, 1u) << change;
  }
}

TEST_F(CacheTest, HandicapSeparatesRunnersAndRunnersStaySorted) {
  apply(R"({"marketDefinition": {"runners": [{"id": 7, "hc": 1.5}]},
            "rc": [{"id": 7, "ltp": 2}, {"id": 7, "hc": 0, "tv": 1},
                   {"id": 7, "hc": "1.5", "atb": [[2, 1]]}, {"id": 7, "hc": 0.125},
                   {"id": 7, "hc": 0.1251}, {"id": 7, "hc": -0.125}]})");
  EXPECT_EQ(runner(7, 150).handicap, 1.5);
  EXPECT_EQ(runner(7).change_count, 3u);     // "hc" missing, 0 and mistyped alike
  EXPECT_EQ(runner(7, 13).handicap, 0.125);  // the first handicap read stays
  EXPECT_EQ(order(), (std::vector<RunnerKey>{{7, -13}, {7, 0}, {7, 13}, {7, 150}}));
  apply(R"({"rc": [{"id": 5, "ltp": 2}, {"id": 3, "hc": 1}, {"id": 3, "hc": -0.5}]})");
  apply(R"({"rc": [{"id": 5, "ltp": 3}, {"id": -9223372036854775808}]})");
  EXPECT_EQ(order(), (std::vector<RunnerKey>{{kMin, 0}, {3, -50}, {3, 100}, {5, 0}, {7, -13},
                                             {7, 0}, {7, 13}, {7, 150}}));
}

TEST_F(CacheTest, ImageDropsRunnersAndKeepsMarketState) {
  apply(R"({"marketDefinition": {"status": "SUSPENDED", "runners": [{"id": 1}, {"id": 2}]},
            "rc": [{"id": 3, "atb": [[1.5, 2]]}], "tv": 5})");
  // Numbered densely in the order made, for readers that keep a slot per runner.
  EXPECT_EQ(std::tie(runner(1).ordinal, runner(2).ordinal, runner(3).ordinal),
            std::make_tuple(0u, 1u, 2u));
  EXPECT_EQ(cache_.runner_generation(), 0u);
  // In the order made, which a later definition listing them otherwise keeps.
  apply(R"({"marketDefinition": {"runners": [{"id": 3}, {"id": 4}, {"id": 2}]}})");
  EXPECT_EQ(keys(cache_.runners_as_made()), (std::vector<RunnerKey>{{1, 0}, {2, 0}, {3, 0}, {4, 0}}));
  apply(R"({"img": true, "rc": [{"id": 1, "ltp": 3}]})");
  EXPECT_EQ(keys(cache_.runners_as_made()), (std::vector<RunnerKey>{{1, 0}}));
  EXPECT_EQ(std::make_tuple(cache_.runner_generation(), runner(1).ordinal), std::make_tuple(1u, 0u));
  EXPECT_EQ(std::tie(cache_.number_of_runners, cache_.number_of_active_runners,
                     runner(1).change_count),
            std::make_tuple(1u, 1u, 1u));
  EXPECT_TRUE(runner(1).available_to_back.empty());
  EXPECT_EQ(order(), (std::vector<RunnerKey>{{1, 0}}));
  EXPECT_EQ(std::tie(cache_.status, cache_.total_matched, cache_.definition_count),
            std::make_tuple("SUSPENDED", 5.0, 2u));
  EXPECT_EQ(cache_.definition_runners.size(), 3u);
  // Only the boolean true is an image; an empty or non-object change stores
  // the publish time alone.
  std::int64_t time = 1;
  for (const char* change : {R"({"img": false})", R"({"img": 1})", R"({"img": "true"})", "{}", "[]",
                             R"([{"img": true}])", R"("img")", "null", "true", "-5"}) {
    apply(change, ++time);
    EXPECT_EQ(cache_.publish_time, time) << change;
    EXPECT_EQ(std::tie(cache_.status, cache_.definition_count, cache_.number_of_runners,
                       cache_.number_of_active_runners, runner(1).change_count),
              std::make_tuple("SUSPENDED", 2u, 1u, 1u, 1u)) << change;
  }
  EXPECT_EQ(cache_.runner_generation(), 1u);
  apply(R"({"img": true})");
  EXPECT_EQ(std::make_tuple(cache_.number_of_runners, cache_.runner_generation()),
            std::make_tuple(0u, 2u));
  EXPECT_TRUE(order().empty());
}

}  // namespace
}  // namespace marrowfin::market
