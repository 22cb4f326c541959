// Native timings of the market cache, without Python objects.
//
//   marrowfin_cache_bench micro          ladder depth and market size scaling
//   marrowfin_cache_bench FILE [ROUNDS]  load FILE, then apply all its changes, then
//                                        build its price table's batches
//
// Run by hand on a quiet machine; figures are for comparison within one run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/market/market_cache.hpp"
#include "core/market/price_ladder.hpp"
#include "core/util/arena.hpp"
#include "core/json/line_parser.hpp"
#include "core/load/message_loader.hpp"
#include "core/table/price_table.hpp"

namespace {

using marrowfin::json::Key;
using marrowfin::json::Value;
using marrowfin::market::MarketCache;
using marrowfin::market::PriceLadder;
using marrowfin::util::Arena;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Value parse_or_die(const std::string& text, Arena& arena) {
  marrowfin::json::JsonResult parsed = marrowfin::json::parse_json(text, arena);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "bad bench input: %s\n", parsed.error.c_str());
    std::exit(2);
  }
  return parsed.value;
}

std::string price_text(int tick) { return std::to_string(1.01 + 0.01 * tick); }

// Cost per level of ladder updates that touch 4 levels of a ladder holding
// `depth` levels.
double ladder_ns_per_level(int depth) {
  Arena arena;
  std::string fill = "{\"atb\": [";
  for (int i = 0; i < depth; ++i) fill += (i ? ",[" : "[") + price_text(i) + ",5]";
  PriceLadder ladder(true);
  ladder.update(*parse_or_die(fill + "]}", arena).find(Key::kAtb));

  constexpr int kVariants = 256;
  std::vector<Value> updates;
  std::uint64_t seed = 12345;
  for (int v = 0; v < kVariants; ++v) {
    std::string text = "{\"atb\": [";
    for (int l = 0; l < 4; ++l) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      int tick = static_cast<int>((seed >> 33) % static_cast<std::uint64_t>(depth));
      text += (l ? ",[" : "[") + price_text(tick) + "," + std::to_string(v % 7 + 1) + "]";
    }
    updates.push_back(*parse_or_die(text + "]}", arena).find(Key::kAtb));
  }
  constexpr int kRounds = 400000;
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) ladder.update(updates[static_cast<std::size_t>(i % kVariants)]);
  double elapsed = seconds_since(start);
  if (ladder.size() != static_cast<std::size_t>(depth)) std::abort();
  return elapsed * 1e9 / (kRounds * 4.0);
}

// Cost of one read-out of a ladder holding `depth` levels, per level.
double readout_ns_per_level(int depth) {
  Arena arena;
  std::string fill = "{\"atb\": [";
  for (int i = 0; i < depth; ++i) fill += (i ? ",[" : "[") + price_text(i) + ",5]";
  PriceLadder ladder(true);
  ladder.update(*parse_or_die(fill + "]}", arena).find(Key::kAtb));
  int rounds = 4000000 / depth;
  std::vector<marrowfin::market::PriceSizePair> out;
  std::size_t check = 0;
  auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    ladder.to_price_sizes(out);
    check += out.size();
  }
  double elapsed = seconds_since(start);
  if (check != static_cast<std::size_t>(rounds) * static_cast<std::size_t>(depth)) std::abort();
  return elapsed * 1e9 / (static_cast<double>(rounds) * depth);
}

// Cost of one market change touching 3 runners of a market of `size` runners.
double market_ns_per_change(int size) {
  Arena arena;
  std::string fill = "{\"rc\": [";
  for (int i = 0; i < size; ++i) {
    fill += (i ? ",{\"id\":" : "{\"id\":") + std::to_string(1000 + i) + ",\"atb\":[[2,1]]}";
  }
  MarketCache cache("1.1");
  cache.update(parse_or_die(fill + "]}", arena), 1);

  constexpr int kVariants = 256;
  std::vector<Value> changes;
  std::uint64_t seed = 999;
  for (int v = 0; v < kVariants; ++v) {
    std::string text = "{\"rc\": [";
    for (int r = 0; r < 3; ++r) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      int id = 1000 + static_cast<int>((seed >> 33) % static_cast<std::uint64_t>(size));
      text += (r ? ",{\"id\":" : "{\"id\":") + std::to_string(id) + ",\"atb\":[[2," +
              std::to_string(v % 5 + 1) + "]],\"ltp\":" + std::to_string(v % 3 + 2) + "}";
    }
    changes.push_back(parse_or_die(text + "]}", arena));
  }
  constexpr int kRounds = 200000;
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    cache.update(changes[static_cast<std::size_t>(i % kVariants)], i + 2);
    // What snapshot building reads per book: the runner order.
    if (cache.sorted_runners().size() != static_cast<std::size_t>(size)) std::abort();
  }
  return seconds_since(start) * 1e9 / kRounds;
}

int micro() {
  std::printf("ladder update, 4 levels per update (ns per level)\n");
  double base = 0;
  for (int depth : {10, 100, 1000, 10000}) {
    double ns = ladder_ns_per_level(depth);
    if (base == 0) base = ns;
    std::printf("  depth %6d: %7.1f ns  (x%.2f of depth 10)\n", depth, ns, ns / base);
  }
  std::printf("ladder read-out, descending (ns per level)\n");
  for (int depth : {10, 100, 1000, 10000}) {
    std::printf("  depth %6d: %7.1f ns\n", depth, readout_ns_per_level(depth));
  }
  std::printf("market change touching 3 runners (ns per change, incl. sorted_runners)\n");
  base = 0;
  for (int size : {10, 100, 1000, 10000}) {
    double ns = market_ns_per_change(size);
    if (base == 0) base = ns;
    std::printf("  runners %6d: %7.1f ns  (x%.2f of 10 runners)\n", size, ns, ns / base);
  }
  return 0;
}

int whole_file(const char* path, int rounds) {
  // Both sides best of `rounds`, so that neither carries a cold start.
  marrowfin::load::LoadResult loaded;
  double load = 1e300;
  for (int round = 0; round < rounds; ++round) {
    loaded = {};
    auto start = Clock::now();
    loaded = marrowfin::load::load_messages(path);
    load = std::min(load, seconds_since(start));
    if (!loaded.store) {
      std::fprintf(stderr, "load failed: %s\n", loaded.error.c_str());
      return 1;
    }
  }
  std::shared_ptr<const marrowfin::load::MessageStore> store = std::move(loaded.store);
  const auto& messages = store->messages;
  std::size_t changes = 0;
  for (const auto& m : messages) changes += m.market_changes.size();

  double best = 1e300;
  std::uint64_t check = 0;
  for (int round = 0; round < rounds; ++round) {
    auto start = Clock::now();
    MarketCache cache("bench");
    for (const auto& message : messages) {
      for (const Value& change : message.market_changes) cache.update(change, message.publish_time);
      // The runner order is what every book needs first.
      check += cache.sorted_runners().size();
    }
    best = std::min(best, seconds_since(start));
    check += cache.definition_count;
  }
  std::printf("%s: %zu messages, %zu market changes (check %llu)\n", path, messages.size(),
              changes, static_cast<unsigned long long>(check));
  std::printf("  native load_messages: %.3f s (best of %d)\n", load, rounds);
  std::printf("  apply all changes:    %.3f s (best of %d), %.1f%% of the native load\n", best,
              rounds, 100.0 * best / load);

  // The price table's batches: the fold of every market and the columns.
  double table = 1e300;
  std::int64_t rows = 0;
  for (int round = 0; round < rounds; ++round) {
    auto start = Clock::now();
    marrowfin::table::PriceTableReader reader(store, marrowfin::table::TableOptions{});
    rows = 0;
    ArrowArray batch{};
    while (reader.next(&batch) == marrowfin::table::PriceTableReader::Status::kBatch) {
      rows += batch.length;
      batch.release(&batch);
    }
    table = std::min(table, seconds_since(start));
  }
  std::printf("  price table batches:  %.3f s (best of %d), %.1f%% of the native load, %lld rows\n",
              table, rounds, 100.0 * table / load, static_cast<long long>(rows));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "micro") return micro();
  if (argc >= 2) return whole_file(argv[1], argc >= 3 ? std::max(1, std::atoi(argv[2])) : 3);
  std::fprintf(stderr, "usage: %s micro | FILE [ROUNDS]\n", argv[0]);
  return 2;
}
