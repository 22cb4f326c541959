// The state of one market folded from its market changes: definition fields,
// market-level figures, runners with their ladders, and the change counts that
// let a reader reuse what it built from the parts that did not change.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/market/definition_fields.hpp"
#include "core/market/level_ladder.hpp"
#include "core/market/price_ladder.hpp"
#include "core/market/records.hpp"
#include "core/json/value.hpp"

namespace marrowfin::market {

// (selection id, handicap key); runners sort by this key.
struct RunnerKey {
  std::int64_t selection_id = 0;
  std::int64_t handicap_key = 0;
  friend auto operator<=>(const RunnerKey&, const RunnerKey&) = default;
};

struct RunnerKeyHash {
  std::size_t operator()(const RunnerKey& key) const noexcept {
    auto h = static_cast<std::uint64_t>(key.selection_id) * 0x9E3779B97F4A7C15ull ^
             static_cast<std::uint64_t>(key.handicap_key) * 0xC2B2AE3D27D4EB4Full;
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
};

// The handicap times 100, rounded half away from zero, saturated to 64 bits;
// NaN gives 0.
std::int64_t handicap_key(double handicap) noexcept;

enum class Side : std::uint8_t { kBack, kLay };

// What a book shows as one side of a runner's available prices: either a full
// ladder or a best-offers one, with a count that moves whenever the levels
// shown may have changed (and never repeats across a change of source, so a
// list built from one source is never handed out for another).
struct ShownLadder {
  const PriceLadder* full = nullptr;  // exactly one of the two is set
  const LevelLadder* best = nullptr;
  std::uint64_t count = 0;

  // The levels, best price first; valid until the next update.
  std::span<const PriceSizePair> levels() const noexcept {
    return full != nullptr ? full->levels() : best->levels();
  }
};

struct RunnerCache {
  RunnerCache(std::int64_t id, double hc) noexcept : selection_id(id), handicap(hc) {}
  RunnerCache(const RunnerCache&) = delete;
  RunnerCache& operator=(const RunnerCache&) = delete;

  std::int64_t selection_id;
  double handicap;  // as read when the runner was created
  std::string status = "ACTIVE";
  std::optional<double> adjustment_factor;
  std::optional<double> last_price_traded;
  double total_matched = 0.0;
  std::optional<std::string> removal_date;
  SpValue near_price;
  SpValue far_price;
  SpValue actual_sp;
  PriceLadder available_to_back{true};
  PriceLadder available_to_lay{false};
  PriceLadder sp_back{true};
  PriceLadder sp_lay{false};
  PriceLadder traded_volume{false};
  LevelLadder best_back;             // "batb"
  LevelLadder best_lay;              // "batl"
  LevelLadder best_display_back;     // "bdatb"
  LevelLadder best_display_lay;      // "bdatl"
  std::uint64_t change_count = 0;
  // Its place in the market's sorted_runners(), as of their last sort.
  std::uint32_t sorted_at = 0;
  // Its number among the runners of its generation (MarketCache::
  // runner_generation()), from 0 in the order made: a reader that keeps
  // something per runner (the bindings keep the objects built from it) keeps
  // it at this index, dense since runners go only all at once.
  std::uint32_t ordinal = 0;
  // MarketCache's round of change notes in which it was last noted.
  std::uint64_t noted_in = 0;

  // The side as a book shows it: the first ladder with levels of the full
  // one ("atb"/"atl"), best available, best display; the empty full one when
  // none has. Recordings of the best-offers feeds carry only the latter two.
  ShownLadder shown(Side side) const noexcept;
};

class MarketCache {
 public:
  explicit MarketCache(std::string id) : market_id(std::move(id)) {}
  MarketCache(const MarketCache&) = delete;
  MarketCache& operator=(const MarketCache&) = delete;

  // Folds one market change (any JSON value) in; never fails. The change's
  // "id" is not looked at: choosing the cache is the caller's business.
  void update(const json::Value& change, std::int64_t publish_time);

  // The runners in ascending key order. Valid until the next update. Sorted
  // again only after runners were added or removed.
  std::span<RunnerCache* const> sorted_runners();
  // Moves whenever the runners were made anew (an image), so a reader that
  // kept something per runner knows it stands for runners that are gone.
  std::uint64_t runner_generation() const noexcept { return runner_generation_; }
  // Moves whenever sorted_runners() was sorted again, so a reader that kept
  // something per runner knows with one comparison that the list it lined
  // that up with still stands. Starts at 0, before the first sort.
  std::uint64_t sorted_version() const noexcept { return sorted_version_; }
  // The runners in the order they were made since the runners were last made
  // anew: a definition's in the order it lists them, then those that a runner
  // change names first, as they come (the order in which the pure-Python peer
  // lists them; a later definition listing them otherwise reorders nothing).
  // Valid until the next update.
  std::span<RunnerCache* const> runners_as_made() const noexcept { return made_; }

  // The runners whose change count moved since forget_changed() was last
  // called or the runners were made anew, each once, in no order. A reader
  // that forgets them after each book visits only those next time instead
  // of every runner; one that never does finds each runner at most once.
  std::span<RunnerCache* const> changed_runners() const noexcept { return changed_; }
  void forget_changed() noexcept {
    changed_.clear();
    ++change_round_;
  }

  std::string market_id;
  // The definition's fields (definition_fields.hpp); a market change sets
  // the shared ones too.
#define MARROWFIN_CACHE_FIELD(key, member, Type, init, dict) Type member = init;
#define MARROWFIN_CACHE_TIME(key, member, dict) std::optional<std::string> member;
  MARROWFIN_DEFINITION_FIELDS(MARROWFIN_CACHE_FIELD, MARROWFIN_CACHE_FIELD, MARROWFIN_CACHE_TIME,
                              MARROWFIN_NO_ROW)
#undef MARROWFIN_CACHE_FIELD
#undef MARROWFIN_CACHE_TIME
  std::vector<MarketDefinitionRunner> definition_runners;
  std::uint64_t definition_count = 0;
  double total_matched = 0.0;
  std::optional<std::int64_t> last_match_time;
  std::int64_t publish_time = 0;
  std::uint32_t number_of_runners = 0;
  // Runners whose status is "ACTIVE", kept in step as statuses change so that
  // no update recounts them.
  std::uint32_t number_of_active_runners = 0;
  // Read freely; only update() adds or removes runners (it keeps an index
  // and the runner order beside the map).
  std::unordered_map<RunnerKey, RunnerCache, RunnerKeyHash> runners;

 private:
  // Sets the field of one member that a definition and a market change
  // share (the SHARED rows of definition_fields.hpp); false for any other key.
  bool apply_shared_field(const json::Value& member);
  void apply_definition(const json::Value& definition);
  void apply_market_fields(const json::Value& change);
  void sync_definition_runners(const json::Value& runner_list);
  void apply_runner_change(const json::Value& runner_change);
  // The runner for an "rc" or definition element, created when new; nullptr
  // when the element is no object with an integer "id".
  RunnerCache* runner_for(const json::Value& element);
  // Replaces a runner's status, keeping number_of_active_runners in step.
  void set_runner_status(RunnerCache& runner, std::string_view status);
  std::size_t index_home(const RunnerKey& key) const noexcept;
  // Requires a free slot.
  void index_place(const RunnerKey& key, RunnerCache* runner) noexcept;
  void rebuild_index();

  // Moves the runner's change count and notes the runner.
  void note_change(RunnerCache& runner);

  std::vector<RunnerCache*> changed_;  // of changed_runners()
  std::uint64_t change_round_ = 1;     // runners start noted in round 0
  std::vector<RunnerCache*> sorted_;  // cache of sorted_runners()
  std::vector<RunnerCache*> made_;    // of runners_as_made(), by ordinal
  bool sorted_valid_ = false;         // false once a runner was added or removed
  std::uint64_t sorted_version_ = 0;
  std::uint64_t runner_generation_ = 0;
  // Open-addressing index over `runners` for the update's lookups, which
  // are cheaper here than in the node map; the map stays for its readers.
  // Rebuilt should the map's size ever disagree with it.
  struct IndexSlot {
    RunnerKey key;
    RunnerCache* runner = nullptr;  // nullptr: empty slot
  };
  std::vector<IndexSlot> index_;  // capacity a power of two, or empty
  std::size_t indexed_ = 0;
  int index_shift_ = 64;  // 64 - log2(capacity)
};

// The market a change names: its "id" when that is a non-empty string.
std::optional<std::string_view> market_id_of(const json::Value& change) noexcept;

// Applies `change` to the one market `cache` follows, the first change with a
// usable market id (a non-empty string "id") creating it; a change naming
// another market is passed over, so a file holding several markets yields the
// first one only. Returns whether the change was applied.
bool apply_to_market(std::unique_ptr<MarketCache>& cache, const json::Value& change,
                     std::int64_t publish_time);

}  // namespace marrowfin::market
