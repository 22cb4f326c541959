#include "core/market/market_cache.hpp"

#include <algorithm>
#include <bit>
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

// Setters that leave the field as it was unless the value has the accepted
// type; one per type of field (definition_fields.hpp).
void read_field(const Value* v, std::string& field) {
  if (auto s = string_of(v)) field.assign(*s);
}
void read_field(const Value* v, std::optional<std::string>& field) {
  if (auto s = string_of(v)) {
    if (field) {
      field->assign(*s);
    } else {
      field.emplace(*s);
    }
  }
}
void read_field(const Value* v, bool& field) {
  if (auto b = bool_of(v)) field = *b;
}
void read_field(const Value* v, std::int32_t& field) {
  if (auto i = integer_of(v)) field = low32(*i);
}
void read_field(const Value* v, std::int64_t& field) {
  if (auto i = integer_of(v)) field = *i;
}
void read_field(const Value* v, double& field) {
  if (auto d = float_of(v)) field = *d;
}
void read_field(const Value* v, std::optional<double>& field) {
  if (auto d = float_of(v)) field = *d;
}
// An array replaces the list, keeping its strings.
void read_field(const Value* v, std::vector<std::string>& field) {
  if (v == nullptr || !v->is_array()) return;
  field.clear();
  for (const Value& element : v->items()) {
    if (auto s = element.as_string()) field.emplace_back(*s);
  }
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
  read_field(v, field);
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
#define MARROWFIN_READ_RUNNER_FIELD(key, member, ...) \
  read_field(element.find(Key::k##key), record.member);
  MARROWFIN_DEFINITION_RUNNER_FIELDS(MARROWFIN_READ_RUNNER_FIELD)
#undef MARROWFIN_READ_RUNNER_FIELD
  return record;
}

// The shown count of each source lives in a range of its own, so that a list
// built from one source is never taken for another's levels.
constexpr std::uint64_t kBestAvailableCounts = std::uint64_t{1} << 62;
constexpr std::uint64_t kBestDisplayCounts = std::uint64_t{1} << 63;

// Sets a definition runner's optional field from the value, or clears it when
// the definition does not have it: a definition describes its runners whole.
void set_or_clear(const Value* v, std::optional<double>& field) { field = float_of(v); }
void set_or_clear(const Value* v, std::optional<std::string>& field) {
  if (string_of(v)) {
    read_field(v, field);
  } else {
    field.reset();
  }
}

LevelLadder& best_offers_ladder(RunnerCache& r, Key key) noexcept {
  switch (key) {
    case Key::kBatb: return r.best_back;
    case Key::kBatl: return r.best_lay;
    case Key::kBdatb: return r.best_display_back;
    default: return r.best_display_lay;
  }
}

}  // namespace

ShownLadder RunnerCache::shown(Side side) const noexcept {
  const bool back = side == Side::kBack;
  const PriceLadder& full = back ? available_to_back : available_to_lay;
  if (!full.empty()) return {&full, nullptr, full.change_count()};
  const LevelLadder& available = back ? best_back : best_lay;
  if (!available.levels().empty()) {
    return {nullptr, &available, kBestAvailableCounts | available.change_count()};
  }
  const LevelLadder& display = back ? best_display_back : best_display_lay;
  if (!display.levels().empty()) {
    return {nullptr, &display, kBestDisplayCounts | display.change_count()};
  }
  return {&full, nullptr, full.change_count()};
}

std::int64_t handicap_key(double handicap) noexcept {
  double scaled = std::round(handicap * 100.0);  // halves away from zero
  if (std::isnan(scaled)) return 0;
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (scaled >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (scaled < -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(scaled);
}

// One pass over the members (sorted, unique keys) instead of a search per
// field: every market change and runner change goes through these.
inline bool MarketCache::apply_shared_field(const json::Value& m) {
  switch (m.key()) {
#define MARROWFIN_READ_SHARED(key, member, ...) \
  case Key::k##key: read_field(&m, member); return true;
    MARROWFIN_DEFINITION_FIELDS(MARROWFIN_NO_ROW, MARROWFIN_READ_SHARED, MARROWFIN_NO_ROW,
                                MARROWFIN_NO_ROW)
#undef MARROWFIN_READ_SHARED
    default: return false;
  }
}

void MarketCache::apply_definition(const json::Value& definition) {
  for (const Value& m : definition.members()) {
    if (apply_shared_field(m)) continue;
    switch (m.key()) {
#define MARROWFIN_READ_FIELD(key, member, ...) \
  case Key::k##key: read_field(&m, member); break;
      MARROWFIN_DEFINITION_FIELDS(MARROWFIN_READ_FIELD, MARROWFIN_NO_ROW, MARROWFIN_READ_FIELD,
                                  MARROWFIN_NO_ROW)
#undef MARROWFIN_READ_FIELD
      default: break;
    }
  }
}

inline void MarketCache::apply_market_fields(const json::Value& change) {
  for (const Value& m : change.members()) {
    if (apply_shared_field(m)) continue;
    switch (m.key()) {
      case Key::kTv: read_field(&m, total_matched); break;
      case Key::kLastMatchTime:
        if (auto t = m.as_integer()) last_match_time = *t;
        break;
      default: break;
    }
  }
}

inline std::size_t MarketCache::index_home(const RunnerKey& key) const noexcept {
  return static_cast<std::size_t>((RunnerKeyHash{}(key) * 0x9E3779B97F4A7C15ull) >> index_shift_);
}

inline void MarketCache::index_place(const RunnerKey& key, RunnerCache* runner) noexcept {
  std::size_t mask = index_.size() - 1;
  std::size_t slot = index_home(key);
  while (index_[slot].runner != nullptr) slot = (slot + 1) & mask;
  index_[slot] = {key, runner};
  ++indexed_;
}

void MarketCache::rebuild_index() {
  // Room for the map plus one more at a load of at most one half.
  std::size_t capacity = std::max<std::size_t>(index_.size(), 16);
  while (capacity < (runners.size() + 1) * 2) capacity *= 2;
  index_.assign(capacity, IndexSlot{});
  index_shift_ = 64 - std::countr_zero(capacity);
  indexed_ = 0;
  for (auto& [key, runner] : runners) index_place(key, &runner);
}

inline RunnerCache* MarketCache::runner_for(const json::Value& element) {
  // One pass for both keys, which sort "hc" before "id"; a non-object has no members.
  static_assert(Key::kHc < Key::kId);
  const Value* id_member = nullptr;
  const Value* hc_member = nullptr;
  for (const Value& m : element.members()) {
    if (m.key() < Key::kHc) continue;
    if (m.key() == Key::kHc) {
      hc_member = &m;
      continue;
    }
    if (m.key() == Key::kId) id_member = &m;
    break;
  }
  auto id = integer_of(id_member);
  if (!id) return nullptr;
  double hc = float_of(hc_member).value_or(0.0);
  RunnerKey key{*id, hc == 0.0 ? 0 : handicap_key(hc)};  // most markets have no handicaps
  if (!index_.empty()) {
    std::size_t mask = index_.size() - 1;
    for (std::size_t slot = index_home(key); index_[slot].runner != nullptr;
         slot = (slot + 1) & mask) {
      if (index_[slot].key == key) return index_[slot].runner;
    }
  }
  auto [it, inserted] = runners.try_emplace(key, *id, hc);
  if (inserted) {
    ++number_of_active_runners;  // a new runner starts "ACTIVE"
    sorted_valid_ = false;
    it->second.ordinal = static_cast<std::uint32_t>(made_.size());
    made_.push_back(&it->second);
  }
  if (!inserted || (indexed_ + 1) * 2 > index_.size()) {
    rebuild_index();
  } else {
    index_place(key, &it->second);
  }
  return &it->second;
}

inline void MarketCache::set_runner_status(RunnerCache& runner, std::string_view text) {
  bool was_active = runner.status == kActive;
  runner.status.assign(text);
  bool is_active = text == kActive;
  if (was_active && !is_active) --number_of_active_runners;
  if (!was_active && is_active) ++number_of_active_runners;
}

inline void MarketCache::note_change(RunnerCache& runner) {
  ++runner.change_count;
  if (runner.noted_in != change_round_) {
    runner.noted_in = change_round_;
    changed_.push_back(&runner);
  }
}

void MarketCache::sync_definition_runners(const json::Value& runner_list) {
  for_each_element(runner_list, [&](const Value& element) {
    RunnerCache* runner = runner_for(element);
    if (runner == nullptr) return;
    if (auto s = string_of(element.find(Key::kStatus)); s && *s != runner->status) {
      set_runner_status(*runner, *s);
    }
    store_sp(element.find(Key::kBsp), runner->actual_sp);
    set_or_clear(element.find(Key::kAdjustmentFactor), runner->adjustment_factor);
    set_or_clear(element.find(Key::kRemovalDate), runner->removal_date);
    // Every definition that lists a runner rebuilds its object, changed or not.
    note_change(*runner);
  });
}

inline void MarketCache::apply_runner_change(const json::Value& element) {
  RunnerCache* runner = runner_for(element);
  if (runner == nullptr) return;
  RunnerCache& r = *runner;
  bool changed = false;
  bool best_offers = false;
  std::pair<std::uint64_t, std::uint64_t> shown_before;
  // The fields are independent of each other, so key order does as well as
  // any; a present starting price always counts, even when it is the same.
  for (const Value& m : element.members()) {
    switch (m.key()) {
      case Key::kStatus:
        if (auto s = m.as_string(); s && *s != r.status) {
          set_runner_status(r, *s);
          changed = true;
        }
        break;
      case Key::kAdjustmentFactor: changed |= update_float(&m, r.adjustment_factor); break;
      case Key::kLtp: changed |= update_float(&m, r.last_price_traded); break;
      case Key::kTv:
        if (auto tv = m.as_float(); tv && *tv != r.total_matched) {
          r.total_matched = *tv;
          changed = true;
        }
        break;
      case Key::kRemovalDate: changed |= update_string(&m, r.removal_date); break;
      case Key::kSpb: changed |= r.sp_back.update(m); break;
      case Key::kSpl: changed |= r.sp_lay.update(m); break;
      case Key::kAtb: changed |= r.available_to_back.update(m); break;
      case Key::kAtl: changed |= r.available_to_lay.update(m); break;
      case Key::kTrd: changed |= r.traded_volume.update(m); break;
      case Key::kBatb:
      case Key::kBatl:
      case Key::kBdatb:
      case Key::kBdatl:
        // These count only where the book shows them: noted before the first
        // of them (the full ladders sort before), compared after the last.
        if (!best_offers) {
          best_offers = true;
          shown_before = {r.shown(Side::kBack).count, r.shown(Side::kLay).count};
        }
        best_offers_ladder(r, m.key()).update(m);
        break;
      case Key::kSpn:
        store_sp(&m, r.near_price);
        changed = true;
        break;
      case Key::kSpf:
        store_sp(&m, r.far_price);
        changed = true;
        break;
      default: break;
    }
  }
  if (best_offers && !changed) {
    changed = shown_before != std::pair(r.shown(Side::kBack).count, r.shown(Side::kLay).count);
  }
  if (changed) note_change(r);
}

void MarketCache::update(const json::Value& change, std::int64_t time) {
  publish_time = time;
  if (indexed_ != runners.size()) rebuild_index();
  if (change.is_object()) {
    // One pass finds the parts; they are still applied in this order.
    const Value* image = nullptr;
    const Value* definition = nullptr;
    const Value* changes = nullptr;
    bool market_fields = false;
    for (const Value& m : change.members()) {
      switch (m.key()) {
        case Key::kId: break;
        case Key::kImg: image = &m; break;
        case Key::kMarketDefinition: definition = &m; break;
        case Key::kRc: changes = &m; break;
        default: market_fields = true; break;
      }
    }
    if (bool_of(image) == true) {
      // An image resends every runner that still exists.
      runners.clear();
      made_.clear();
      ++runner_generation_;
      changed_.clear();
      rebuild_index();
      number_of_active_runners = 0;
      sorted_valid_ = false;
    }
    if (definition != nullptr) {
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
    if (market_fields) apply_market_fields(change);
    if (changes != nullptr && changes->is_array()) {
      for_each_element(*changes, [&](const Value& e) { apply_runner_change(e); });
    }
  }
  number_of_runners = static_cast<std::uint32_t>(runners.size());
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
    for (const auto& entry : keyed) {
      entry.second->sorted_at = static_cast<std::uint32_t>(sorted_.size());
      sorted_.push_back(entry.second);
    }
    sorted_valid_ = true;
    ++sorted_version_;
  }
  return sorted_;
}

std::optional<std::string_view> market_id_of(const json::Value& change) noexcept {
  std::optional<std::string_view> id = string_of(change.find(Key::kId));
  if (id && id->empty()) return std::nullopt;
  return id;
}

bool apply_to_market(std::unique_ptr<MarketCache>& cache, const json::Value& change,
                     std::int64_t publish_time) {
  std::optional<std::string_view> id = market_id_of(change);
  if (!cache) {
    if (!id) return false;
    cache = std::make_unique<MarketCache>(std::string(*id));
  } else if (id && *id != cache->market_id) {
    return false;
  }
  cache->update(change, publish_time);
  return true;
}

}  // namespace marrowfin::market
