#include "market/market_cache.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace marrowfin::market {
namespace {

using json::Key;
using json::Value;

constexpr std::string_view kActive = "ACTIVE";

std::optional<std::int64_t> integer_of(const Value* v) noexcept {
  return v != nullptr ? v->as_integer() : std::nullopt;
}
std::optional<double> float_of(const Value* v) noexcept {
  return v != nullptr ? v->as_float() : std::nullopt;
}
std::optional<std::string_view> string_of(const Value* v) noexcept {
  return v != nullptr ? v->as_string() : std::nullopt;
}
std::optional<bool> bool_of(const Value* v) noexcept {
  return v != nullptr ? v->as_bool() : std::nullopt;
}

// The low 32 bits, as the stream's 32-bit fields keep them.
std::int32_t low32(std::int64_t value) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

// Setters that leave the field as it was unless the value has the accepted type.
void read_string(const Value* v, std::string& field) {
  if (auto s = string_of(v)) field.assign(*s);
}
void read_string(const Value* v, std::optional<std::string>& field) {
  if (auto s = string_of(v)) {
    if (field) {
      field->assign(*s);
    } else {
      field.emplace(*s);
    }
  }
}
void read_bool(const Value* v, bool& field) {
  if (auto b = bool_of(v)) field = *b;
}
void read_low32(const Value* v, std::int32_t& field) {
  if (auto i = integer_of(v)) field = low32(*i);
}
void read_integer(const Value* v, std::int64_t& field) {
  if (auto i = integer_of(v)) field = *i;
}
void read_float(const Value* v, double& field) {
  if (auto d = float_of(v)) field = *d;
}
void read_float(const Value* v, std::optional<double>& field) {
  if (auto d = float_of(v)) field = *d;
}

// Compare-then-set for runner fields whose change must count: true only when
// the stored value changed.
bool update_float(const Value* v, std::optional<double>& field) {
  auto d = float_of(v);
  if (!d || field == *d) return false;
  field = *d;
  return true;
}
bool update_string(const Value* v, std::optional<std::string>& field) {
  auto s = string_of(v);
  if (!s || field == *s) return false;
  read_string(v, field);
  return true;
}

// A number stays a number, a string is kept as text, anything else (or
// nothing) clears the price.
void store_sp(const Value* v, SpValue& sp) {
  if (auto d = float_of(v)) {
    sp = *d;
  } else if (auto s = string_of(v)) {
    if (auto* text = std::get_if<std::string>(&sp)) {
      text->assign(*s);
    } else {
      sp.emplace<std::string>(*s);
    }
  } else {
    sp = std::monostate{};
  }
}

// Calls fn for every element of an array in either form. Elements of a packed
// array are [price, size] pairs, so they reach fn as a non-object.
template <class Fn>
void for_each_element(const Value& array, Fn&& fn) {
  if (array.kind() == json::Kind::kLevels) {
    const Value not_object;
    for (std::uint32_t i = 0; i < array.size(); ++i) fn(not_object);
  } else {
    for (const Value& element : array.items()) fn(element);
  }
}

MarketDefinitionRunner definition_runner(const Value& element) {
  MarketDefinitionRunner record;
  if (!element.is_object()) return record;
  read_integer(element.find(Key::kId), record.selection_id);
  read_low32(element.find(Key::kSortPriority), record.sort_priority);
  read_string(element.find(Key::kStatus), record.status);
  read_float(element.find(Key::kHc), record.handicap);
  read_float(element.find(Key::kAdjustmentFactor), record.adjustment_factor);
  read_float(element.find(Key::kBsp), record.bsp);
  read_string(element.find(Key::kRemovalDate), record.removal_date);
  read_string(element.find(Key::kName), record.name);
  return record;
}

}  // namespace

std::size_t RunnerKeyHash::operator()(const RunnerKey& key) const noexcept {
  auto h = static_cast<std::uint64_t>(key.selection_id) * 0x9E3779B97F4A7C15ull ^
           static_cast<std::uint64_t>(key.handicap_key) * 0xC2B2AE3D27D4EB4Full;
  return static_cast<std::size_t>(h ^ (h >> 32));
}

std::int64_t handicap_key(double handicap) noexcept {
  double scaled = std::round(handicap * 100.0);  // halves away from zero
  if (std::isnan(scaled)) return 0;
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (scaled >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (scaled < -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(scaled);
}

void MarketCache::update(const json::Value& change, std::int64_t time) {
  publish_time = time;
  if (change.is_object()) {
    if (bool_of(change.find(Key::kImg)) == true) {
      // An image resends every runner that still exists.
      runners.clear();
      active_runners_ = 0;
      sorted_valid_ = false;
    }
    if (const Value* definition = change.find(Key::kMarketDefinition)) {
      if (definition->is_object()) apply_definition(*definition);
      ++definition_count;
      if (const Value* list = definition->find(Key::kRunners); list && list->is_array()) {
        std::vector<MarketDefinitionRunner> records;
        records.reserve(list->size());
        for_each_element(*list, [&](const Value& e) { records.push_back(definition_runner(e)); });
        definition_runners = std::move(records);
        sync_definition_runners(*list);
      }
    }
    apply_market_fields(change);
    if (const Value* changes = change.find(Key::kRc); changes && changes->is_array()) {
      for_each_element(*changes, [&](const Value& e) { apply_runner_change(e); });
    }
  }
  number_of_runners = static_cast<std::uint32_t>(runners.size());
  number_of_active_runners = static_cast<std::uint32_t>(active_runners_);
}

void MarketCache::apply_definition(const json::Value& d) {
  read_string(d.find(Key::kStatus), status);
  read_low32(d.find(Key::kBetDelay), bet_delay);
  read_bool(d.find(Key::kBspReconciled), bsp_reconciled);
  read_bool(d.find(Key::kComplete), complete);
  read_bool(d.find(Key::kCrossMatching), cross_matching);
  read_bool(d.find(Key::kInPlay), in_play);
  read_bool(d.find(Key::kRunnersVoidable), runners_voidable);
  read_low32(d.find(Key::kNumberOfWinners), number_of_winners);
  read_string(d.find(Key::kEventId), event_id);
  read_string(d.find(Key::kEventTypeId), event_type_id);
  read_string(d.find(Key::kEventName), event_name);
  read_string(d.find(Key::kMarketType), market_type);
  read_string(d.find(Key::kMarketTime), market_time);
  read_string(d.find(Key::kCountryCode), country_code);
  read_string(d.find(Key::kVenue), venue);
  read_string(d.find(Key::kRaceType), race_type);
  read_bool(d.find(Key::kBspMarket), bsp_market);
  read_bool(d.find(Key::kPersistenceEnabled), persistence_enabled);
  read_float(d.find(Key::kEachWayDivisor), each_way_divisor);
  read_string(d.find(Key::kTimezone), timezone);
  read_bool(d.find(Key::kTurnInPlayEnabled), turn_in_play_enabled);
  read_string(d.find(Key::kBettingType), betting_type);
  read_string(d.find(Key::kName), name);
  read_bool(d.find(Key::kDiscountAllowed), discount_allowed);
  read_float(d.find(Key::kMarketBaseRate), market_base_rate);
  if (const Value* list = d.find(Key::kRegulators); list && list->is_array()) {
    regulators.clear();
    for (const Value& element : list->items()) {
      if (auto s = element.as_string()) regulators.emplace_back(*s);
    }
  }
  read_string(d.find(Key::kOpenDate), open_date);
  read_string(d.find(Key::kSuspendTime), suspend_time);
  read_string(d.find(Key::kSettledTime), settled_time);
  read_integer(d.find(Key::kVersion), version);
}

void MarketCache::apply_market_fields(const json::Value& c) {
  read_string(c.find(Key::kStatus), status);
  read_low32(c.find(Key::kBetDelay), bet_delay);
  read_bool(c.find(Key::kBspReconciled), bsp_reconciled);
  read_bool(c.find(Key::kComplete), complete);
  read_bool(c.find(Key::kCrossMatching), cross_matching);
  read_bool(c.find(Key::kInPlay), in_play);
  read_bool(c.find(Key::kRunnersVoidable), runners_voidable);
  read_float(c.find(Key::kTv), total_matched);
  read_integer(c.find(Key::kVersion), version);
  if (auto t = integer_of(c.find(Key::kLastMatchTime))) last_match_time = *t;
}

RunnerCache* MarketCache::runner_for(const json::Value& element) {
  auto id = integer_of(element.find(Key::kId));  // find() is null for non-objects
  if (!id) return nullptr;
  double hc = float_of(element.find(Key::kHc)).value_or(0.0);
  auto [it, inserted] = runners.try_emplace(RunnerKey{*id, handicap_key(hc)}, *id, hc);
  if (inserted) {
    ++active_runners_;  // a new runner starts "ACTIVE"
    sorted_valid_ = false;
  }
  return &it->second;
}

void MarketCache::set_runner_status(RunnerCache& runner, std::string_view text) {
  bool was_active = runner.status == kActive;
  runner.status.assign(text);
  bool is_active = text == kActive;
  if (was_active && !is_active) --active_runners_;
  if (!was_active && is_active) ++active_runners_;
}

void MarketCache::sync_definition_runners(const json::Value& runner_list) {
  for_each_element(runner_list, [&](const Value& element) {
    RunnerCache* runner = runner_for(element);
    if (runner == nullptr) return;
    if (auto s = string_of(element.find(Key::kStatus)); s && *s != runner->status) {
      set_runner_status(*runner, *s);
    }
    store_sp(element.find(Key::kBsp), runner->actual_sp);
    update_float(element.find(Key::kAdjustmentFactor), runner->adjustment_factor);
    update_string(element.find(Key::kRemovalDate), runner->removal_date);
    // Every definition that lists a runner rebuilds its object, changed or not.
    ++runner->change_count;
  });
}

void MarketCache::apply_runner_change(const json::Value& element) {
  RunnerCache* runner = runner_for(element);
  if (runner == nullptr) return;
  RunnerCache& r = *runner;
  bool changed = false;
  if (auto s = string_of(element.find(Key::kStatus)); s && *s != r.status) {
    set_runner_status(r, *s);
    changed = true;
  }
  changed |= update_float(element.find(Key::kAdjustmentFactor), r.adjustment_factor);
  changed |= update_float(element.find(Key::kLtp), r.last_price_traded);
  if (auto tv = float_of(element.find(Key::kTv)); tv && *tv != r.total_matched) {
    r.total_matched = *tv;
    changed = true;
  }
  changed |= update_string(element.find(Key::kRemovalDate), r.removal_date);
  auto ladder = [&](Key key, PriceLadder& target) {
    if (const Value* levels = element.find(key); levels && levels->is_array()) {
      changed |= target.update(*levels);
    }
  };
  ladder(Key::kSpb, r.sp_back);
  ladder(Key::kSpl, r.sp_lay);
  ladder(Key::kAtb, r.available_to_back);
  ladder(Key::kAtl, r.available_to_lay);
  ladder(Key::kTrd, r.traded_volume);
  // A present starting price always counts, even when it is the same.
  if (const Value* spn = element.find(Key::kSpn)) {
    store_sp(spn, r.near_price);
    changed = true;
  }
  if (const Value* spf = element.find(Key::kSpf)) {
    store_sp(spf, r.far_price);
    changed = true;
  }
  if (changed) ++r.change_count;
}

std::span<RunnerCache* const> MarketCache::sorted_runners() {
  // The size check also catches a map changed behind the update's back.
  if (!sorted_valid_ || sorted_.size() != runners.size()) {
    std::vector<std::pair<RunnerKey, RunnerCache*>> keyed;
    keyed.reserve(runners.size());
    for (auto& [key, runner] : runners) keyed.emplace_back(key, &runner);
    std::sort(keyed.begin(), keyed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    sorted_.clear();
    for (const auto& entry : keyed) sorted_.push_back(entry.second);
    sorted_valid_ = true;
  }
  return sorted_;
}

}  // namespace marrowfin::market
