// libFuzzer: any bytes as a stream file (gzip when they start with the gzip
// magic), its price table built in small batches, with a depth, a mode, a
// batch size and the starting-price columns or not taken from the input's
// length. Every row is checked against an
// oracle that folds each market into a cache of its own by the iterator's
// rules, tells changed runners by their key, and reads every value afresh
// from the cache. Aborts when:
// - a batch breaks the Arrow layout (lengths, offsets, validity, null counts);
// - the rows differ from the oracle's: their market, book, runner or any value;
// - the stream's end or its release misbehaves.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/market/market_cache.hpp"
#include "core/load/message_loader.hpp"
#include "core/table/price_table.hpp"
#include "core/table/table_stream.hpp"
#include "fuzz_support.hpp"

namespace {

using marrowfin::json::Key;
using marrowfin::json::Value;
using namespace marrowfin::market;
using namespace marrowfin::load;
using namespace marrowfin::io;
using namespace marrowfin::util;
using namespace marrowfin::table;
using namespace marrowfin::fuzz;

// Each market folded apart, as the iterator would fold a file holding only
// that market's changes.
class Oracle {
 public:
  Oracle(int depth, bool every_book, bool sp) : depth_(depth), every_book_(every_book), sp_(sp) {}

  void message(const ParsedMessage& message, std::vector<Row>& rows) {
    std::vector<std::string> touched;
    std::map<std::string, bool> image;
    for (const Value& change : message.market_changes) {
      std::optional<std::string_view> id = market_id_of(change);
      std::string market = id ? std::string(*id) : first_;
      if (market.empty()) continue;
      if (first_.empty()) first_ = market;
      auto& cache = caches_[market];
      if (!cache) cache = std::make_unique<MarketCache>(market);
      cache->update(change, message.publish_time);
      const Value* img = change.find(Key::kImg);
      if (!image.contains(market)) touched.push_back(market);
      image[market] |= img != nullptr && img->as_bool() == true;
    }
    for (const std::string& market : touched) {
      std::int64_t book = books_[market]++;
      auto& seen = counts_[market];
      if (image[market]) seen.clear();
      MarketCache& cache = *caches_[market];
      for (RunnerCache* runner : cache.sorted_runners()) {
        RunnerKey key{runner->selection_id, handicap_key(runner->handicap)};
        auto found = seen.find(key);
        bool changed = found == seen.end() || found->second != runner->change_count;
        seen[key] = runner->change_count;
        if (changed || every_book_) rows.push_back(row(cache, book, *runner));
      }
    }
  }

 private:
  Row row(const MarketCache& m, std::int64_t book, const RunnerCache& r) const {
    Row row = {m.market_id, integer(m.publish_time), integer(book), m.status, std::uint64_t{m.in_play},
               integer(r.selection_id), number(r.handicap), r.status};
    row.push_back(r.last_price_traded ? number(*r.last_price_traded) : Cell{});
    row.push_back(number(r.total_matched));
    for (Side side : {Side::kBack, Side::kLay}) {
      std::span<const PriceSizePair> levels = r.shown(side).levels();
      for (bool price : {true, false}) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(depth_); ++i) {
          row.push_back(i < levels.size() ? number(price ? levels[i].price : levels[i].size)
                                          : Cell{});
        }
      }
    }
    row.push_back(number(sum_sizes(r.traded_volume.to_price_sizes())));
    if (sp_) {
      for (const SpValue* sp : {&r.near_price, &r.far_price, &r.actual_sp}) {
        const double* value = std::get_if<double>(sp);
        row.push_back(value != nullptr ? number(*value) : Cell{});
      }
    }
    return row;
  }

  int depth_;
  bool every_book_;
  bool sp_;
  std::string first_;
  std::map<std::string, std::int64_t> books_;
  std::map<std::string, std::unique_ptr<MarketCache>> caches_;
  std::map<std::string, std::map<RunnerKey, std::uint64_t>> counts_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  LoadResult loaded = load_sniffed(bytes);
  if (!loaded.store) return 0;  // load failures are fuzz_replay's business
  std::shared_ptr<const MessageStore> store(std::move(loaded.store));

  // Batches of a few rows end mid-line and mid-book; 8, 9 and larger ones
  // also fill whole 8-row lines and grow a batch's room.
  constexpr std::int64_t kBatchRows[] = {1, 2, 3, 7, 8, 9, 17, 1025, 65536};
  TableOptions options{static_cast<int>(size % (kMaxDepth + 1)), (size / 11) % 2 == 1,
                       kBatchRows[(size / 22) % std::size(kBatchRows)],
                       (size / 198) % 2 == 1};
  Oracle oracle(options.depth, options.every_book, options.sp);
  std::vector<Row> expected;
  for (const ParsedMessage& message : store->messages) oracle.message(message, expected);

  ArrowArrayStream stream;
  export_price_table_stream(store, options, &stream);
  store.reset();  // the stream holds its own share
  ArrowSchema schema;
  check(stream.get_schema(&stream, &schema) == 0 &&
        schema.n_children == 11 + 4 * options.depth + (options.sp ? 3 : 0));
  schema.release(&schema);
  std::vector<Field> fields = price_table_fields(options.depth, options.sp);
  std::vector<Row> rows;
  ArrowArray batch;
  for (;;) {
    check(stream.get_next(&stream, &batch) == 0);
    if (batch.release == nullptr) break;
    check(batch.length <= options.batch_rows);
    read_batch(batch, fields, rows);
    batch.release(&batch);
    check(batch.release == nullptr);
  }
  check(stream.get_next(&stream, &batch) == 0 && batch.release == nullptr);
  check(stream.get_last_error(&stream) == nullptr);
  stream.release(&stream);
  check(rows == expected);
  return 0;
}
