// libFuzzer, end to end on the core: any bytes as a stream file (gzip, bzip2
// or zstd when they start with that format's magic), loaded as a file is, every
// message applied to a MarketCache the way the iterator does, and everything
// a book is built from read out after each message. Aborts when:
// - a load fails with a text outside the fixed set;
// - a load cut into small chunks parsed on several threads has another
//   outcome than the load in one piece on one thread (another error, or
//   other messages or values);
// - a read-out is out of order, repeats a price, holds a zero size or
//   disagrees with its ladder's size;
// - a full ladder (kept sorted as it is updated) differs from a plain model
//   of the same updates: a map sorted afresh;
// - the runner order, the runner count or the active count is inconsistent;
// - a change count went down, or stood still while what it guards changed:
//   snapshot building would then hand out a stale Python object;
// - a side shows another ladder than the first one with levels of the full,
//   best-available and best-display ladders;
// - a text is not valid UTF-8 (making a Python str of it would fail).
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/market/market_cache.hpp"
#include "core/load/message_loader.hpp"
#include "core/json/utf8.hpp"
#include "fuzz_support.hpp"

namespace {

using marrowfin::json::Key;
using marrowfin::json::Value;
using namespace marrowfin::market;
using namespace marrowfin::load;
using namespace marrowfin::io;
using namespace marrowfin::util;
using marrowfin::fuzz::check;


bool known_error(std::string_view error) {
  static const std::string_view kWhole[] = {
      "invalid gzip header", "gzip header field too long", "corrupt deflate stream",
      "corrupt gzip stream does not have a matching checksum", "unexpected end of file",
      "invalid bzip2 header", "corrupt bzip2 stream", "invalid zstd header",
      "unsupported zstd frame", "corrupt zstd stream", "stream did not contain valid UTF-8"};
  for (std::string_view text : kWhole) {
    if (error == text) return true;
  }
  // JSON errors; the descriptions themselves are fuzz_parse_json's business.
  return error.find(" at line 1 column ") != std::string_view::npos;
}

// Bytes that differ whenever a value differs (floats by bit pattern).
class Print {
 public:
  void add(double d) { add_raw(std::bit_cast<std::uint64_t>(d)); }
  void add(bool b) { text_ += b ? 'T' : 'F'; }
  void add(std::int64_t i) { add_raw(static_cast<std::uint64_t>(i)); }
  void add(std::int32_t i) { add(static_cast<std::int64_t>(i)); }
  void add(std::string_view s) {
    check(marrowfin::json::is_valid_utf8(s));
    add_raw(s.size());
    text_.append(s);
  }
  void add(const std::string& s) { add(std::string_view(s)); }
  template <class T>
  void add(const std::optional<T>& o) {
    add(o.has_value());
    if (o) add(*o);
  }
  void add(const SpValue& sp) {
    add_raw(sp.index());
    if (auto* d = std::get_if<double>(&sp)) add(*d);
    if (auto* s = std::get_if<std::string>(&sp)) add(std::string_view(*s));
  }
  void add(std::span<const PriceSizePair> levels) {
    add_raw(levels.size());
    for (const PriceSizePair& p : levels) {
      add(p.price);
      add(p.size);
    }
  }
  const std::string& text() const { return text_; }

 private:
  void add_raw(std::uint64_t v) { text_.append(reinterpret_cast<const char*>(&v), sizeof v); }
  std::string text_;
};

// A ladder's read-out, checked against the ladder's own rules.
std::vector<PriceSizePair> read_out(const PriceLadder& ladder) {
  std::span<const PriceSizePair> kept = ladder.levels();
  std::vector<PriceSizePair> levels = ladder.to_price_sizes();
  check(levels.size() == ladder.size() && std::equal(kept.begin(), kept.end(), levels.begin()));
  std::vector<std::uint64_t> bits;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const PriceSizePair& p = levels[i];
    check(!std::isnan(p.price) && !std::isnan(p.size) && p.size != 0.0);
    if (i > 0) {
      double before = levels[i - 1].price;
      check(ladder.descending() ? before >= p.price : before <= p.price);
    }
    bits.push_back(std::bit_cast<std::uint64_t>(p.price));
  }
  std::sort(bits.begin(), bits.end());
  check(std::adjacent_find(bits.begin(), bits.end()) == bits.end());
  return levels;
}

// A best-offers read-out: in level order, so prices follow no order.
std::vector<PriceSizePair> read_out(const LevelLadder& ladder) {
  std::span<const PriceSizePair> levels = ladder.levels();
  for (const PriceSizePair& p : levels) check(!std::isnan(p.price) && !std::isnan(p.size) && p.size != 0.0);
  return {levels.begin(), levels.end()};
}

// The five full ladders of every runner as a plain ordered map folds the
// same [price, size] updates, by the rules the ladders follow, but without
// their sorted storage or search. Prices are one level per bit pattern,
// -0.0 below 0.0.
class LadderModel {
 public:
  static constexpr Key kKeys[] = {Key::kAtb, Key::kAtl, Key::kTrd, Key::kSpb, Key::kSpl};

  // Folds in a change that the cache applied.
  void apply(const Value& change) {
    const Value* img = change.find(Key::kImg);
    if (img != nullptr && img->as_bool() == true) runners_.clear();
    const Value* rc = change.find(Key::kRc);
    if (rc == nullptr) return;
    for (const Value& element : rc->items()) {  // packed elements are no runner changes
      std::optional<std::int64_t> id;
      if (const Value* v = element.find(Key::kId)) id = v->as_integer();
      if (!id) continue;
      double hc = 0.0;
      if (const Value* v = element.find(Key::kHc)) hc = v->as_float().value_or(0.0);
      auto& ladders = runners_[RunnerKey{*id, hc == 0.0 ? 0 : handicap_key(hc)}];
      for (std::size_t i = 0; i < 5; ++i) {
        if (const Value* v = element.find(kKeys[i])) apply_ladder(ladders[i], *v);
      }
    }
  }

  // Ladder i (in kKeys order) of a runner, in read-out order.
  std::vector<PriceSizePair> levels(const RunnerKey& key, std::size_t i, bool descending) const {
    std::vector<PriceSizePair> out;
    auto it = runners_.find(key);
    if (it == runners_.end()) return out;
    for (const auto& [price, size] : it->second[i]) out.push_back({price, size});
    if (descending) std::reverse(out.begin(), out.end());
    return out;
  }

 private:
  struct Below {
    bool operator()(double a, double b) const {
      return a < b || (a == b && std::signbit(a) && !std::signbit(b));
    }
  };
  using Ladder = std::map<double, double, Below>;

  static void set(Ladder& ladder, double price, std::optional<double> size) {
    if (!size || *size == 0.0) {
      ladder.erase(price);
    } else {
      ladder[price] = *size;
    }
  }

  static void apply_ladder(Ladder& ladder, const Value& elements) {
    for (const marrowfin::json::Level& level : elements.levels()) set(ladder, level.price, level.size);
    for (const Value& element : elements.items()) {
      if (!element.is_array() || element.size() < 2) continue;
      std::span<const Value> pair = element.items();  // empty when packed: price 0, removed
      set(ladder, pair.empty() ? 0.0 : pair[0].as_float().value_or(0.0),
          pair.empty() ? std::nullopt : pair[1].as_float());
    }
  }

  std::map<RunnerKey, std::array<Ladder, 5>> runners_;
};

struct LadderState {
  std::uint64_t count;
  std::vector<PriceSizePair> levels;
};

// The source a shown count belongs to: the full ladder, best available, best display.
int source_of(std::uint64_t count) { return count >> 63 ? 2 : count >> 62 ? 1 : 0; }

LadderState shown_state(const RunnerCache& r, Side side) {
  ShownLadder shown = r.shown(side);
  bool back = side == Side::kBack;
  const LevelLadder* best[] = {back ? &r.best_back : &r.best_lay,
                               back ? &r.best_display_back : &r.best_display_lay};
  const PriceLadder& full = back ? r.available_to_back : r.available_to_lay;
  int source = source_of(shown.count);
  check(source == 0 ? shown.full == &full && shown.best == nullptr
                    : shown.full == nullptr && shown.best == best[source - 1]);
  // The ladders before the shown one are empty; so are all when the shown one is.
  check(source == 0 || (full.empty() && !shown.best->levels().empty()));
  if (source == 0 && full.empty()) check(best[0]->levels().empty() && best[1]->levels().empty());
  if (source == 2) check(best[0]->levels().empty());
  return {shown.count, source == 0 ? read_out(full) : read_out(*shown.best)};
}

struct RunnerState {
  std::uint64_t count;
  std::string fields;  // everything a Runner object holds but the ladders
  std::array<LadderState, 5> ladders;
};

RunnerState runner_state(const RunnerKey& key, const RunnerCache& r, const LadderModel& model) {
  RunnerState state{r.change_count, {}, {}};
  state.ladders[0] = shown_state(r, Side::kBack);
  state.ladders[1] = shown_state(r, Side::kLay);
  const PriceLadder* ladders[] = {&r.traded_volume, &r.sp_back, &r.sp_lay};
  for (std::size_t i = 0; i < 3; ++i) {
    state.ladders[i + 2] = {ladders[i]->change_count(), read_out(*ladders[i])};
  }
  // In LadderModel::kKeys order.
  const PriceLadder* full[] = {&r.available_to_back, &r.available_to_lay, &r.traded_volume,
                               &r.sp_back, &r.sp_lay};
  for (std::size_t i = 0; i < 5; ++i) {
    std::span<const PriceSizePair> levels = full[i]->levels();
    check(std::ranges::equal(levels, model.levels(key, i, full[i]->descending())));
  }
  Print p;
  p.add(r.selection_id);
  p.add(r.handicap);
  p.add(r.status);
  p.add(r.adjustment_factor);
  p.add(r.last_price_traded);
  p.add(r.total_matched);
  p.add(r.removal_date);
  p.add(r.near_price);
  p.add(r.far_price);
  p.add(r.actual_sp);
  state.fields = p.text();
  return state;
}

// What a MarketDefinition object holds that only a definition can change.
std::string definition_print(const MarketCache& c) {
  Print p;
  for (const auto* s : {&c.event_id, &c.event_type_id, &c.event_name, &c.market_type,
                        &c.market_time, &c.country_code, &c.venue, &c.race_type, &c.timezone,
                        &c.betting_type, &c.name, &c.open_date, &c.suspend_time,
                        &c.settled_time}) {
    p.add(*s);
  }
  p.add(c.number_of_winners);
  p.add(c.bsp_market);
  p.add(c.persistence_enabled);
  p.add(c.each_way_divisor);
  p.add(c.turn_in_play_enabled);
  p.add(c.discount_allowed);
  p.add(c.market_base_rate);
  for (const std::string& r : c.regulators) p.add(r);
  for (const MarketDefinitionRunner& r : c.definition_runners) {
    p.add(r.selection_id);
    p.add(r.sort_priority);
    p.add(r.status);
    p.add(r.handicap);
    p.add(r.adjustment_factor);
    p.add(r.bsp);
    p.add(r.removal_date);
    p.add(r.name);
  }
  return p.text();
}

// What a book would be built from, kept from one message to the next.
class Observer {
 public:
  // Until a definition arrives, the definition fields keep a new cache's values.
  Observer() : definition_(definition_print(MarketCache(""))) {}

  // After `cache` took one more market change; `image` when it was one.
  void observe(MarketCache& cache, const Value& change, bool image) {
    model_.apply(change);
    std::span<RunnerCache* const> sorted = cache.sorted_runners();
    check(sorted.size() == cache.runners.size());
    check(cache.number_of_runners == cache.runners.size());
    std::vector<std::pair<RunnerKey, const RunnerCache*>> keyed;
    std::uint32_t active = 0;
    for (const auto& [key, runner] : cache.runners) {
      check(key.selection_id == runner.selection_id &&
            key.handicap_key == handicap_key(runner.handicap));
      keyed.emplace_back(key, &runner);
      active += runner.status == "ACTIVE" ? 1 : 0;
    }
    check(cache.number_of_active_runners == active);
    std::sort(keyed.begin(), keyed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < keyed.size(); ++i) check(sorted[i] == keyed[i].second);

    if (image) runners_.clear();  // an image's runners are new: no object carries over
    std::map<RunnerKey, RunnerState> now;
    for (const auto& [key, runner] : keyed) {
      RunnerState state = runner_state(key, *runner, model_);
      if (auto before = runners_.find(key); before != runners_.end()) {
        compare(before->second, state);
      }
      now.emplace(key, std::move(state));
    }
    // A runner leaves the map only with an image.
    if (!image) {
      for (const auto& entry : runners_) check(now.contains(entry.first));
    }
    runners_ = std::move(now);

    check(marrowfin::json::is_valid_utf8(cache.market_id) && marrowfin::json::is_valid_utf8(cache.status));
    std::string definition = definition_print(cache);
    check(cache.definition_count >= definition_count_);
    if (cache.definition_count == definition_count_) check(definition == definition_);
    definition_count_ = cache.definition_count;
    definition_ = std::move(definition);
  }

 private:
  static void compare(const RunnerState& before, const RunnerState& now) {
    check(now.count >= before.count);
    bool runner_same = now.count == before.count;
    if (runner_same) check(now.fields == before.fields);
    for (std::size_t i = 0; i < now.ladders.size(); ++i) {
      const LadderState& a = before.ladders[i];
      const LadderState& b = now.ladders[i];
      if (source_of(a.count) == source_of(b.count)) check(b.count >= a.count);
      if (runner_same || b.count == a.count) check(a.levels == b.levels);
    }
  }

  LadderModel model_;
  std::map<RunnerKey, RunnerState> runners_;
  std::uint64_t definition_count_ = 0;
  std::string definition_;
};

}  // namespace

// The same outcome: the same error, or the same messages value by value.
void check_same(const LoadResult& a, const LoadResult& b) {
  check(!a.store == !b.store);
  if (!a.store) {
    check(a.error == b.error);
    return;
  }
  const auto& x = a.store->messages;
  const auto& y = b.store->messages;
  check(x.size() == y.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    check(x[i].publish_time == y[i].publish_time);
    check(x[i].market_changes.size() == y[i].market_changes.size());
    for (std::size_t j = 0; j < x[i].market_changes.size(); ++j) {
      check(marrowfin::json::same_value(x[i].market_changes[j], y[i].market_changes[j]));
    }
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Encoding encoding = marrowfin::fuzz::sniffed_encoding(bytes);
  // One piece on one thread (a compressed input's size is not its text's).
  LoadResult loaded = load_messages_from_bytes(
      bytes, encoding, Inflater::default_backend(),
      {.chunk_size = encoding == Encoding::kPlain ? size + 1 : LoadOptions::kDefaultChunkSize,
       .threads = 1});
  // Chunks of a few lines each, cut at a size the input picks.
  std::size_t chunk_size = 1 + (size == 0 ? 0 : data[size - 1] % 97);
  check_same(loaded, load_messages_from_bytes(bytes, encoding, Inflater::default_backend(),
                                              {.chunk_size = chunk_size, .threads = 3}));
  if (!loaded.store) {
    check(known_error(loaded.error));
    return 0;
  }
  std::unique_ptr<MarketCache> cache;
  Observer observer;
  for (const ParsedMessage& message : loaded.store->messages) {
    check(message.publish_time > 0);
    for (const Value& change : message.market_changes) {
      if (!apply_to_market(cache, change, message.publish_time)) continue;
      check(cache->publish_time == message.publish_time);
      const Value* img = change.find(Key::kImg);
      observer.observe(*cache, change, img != nullptr && img->as_bool() == true);
    }
  }
  return 0;
}
