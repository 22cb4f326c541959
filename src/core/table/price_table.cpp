#include "core/table/price_table.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/util/float_sum.hpp"

namespace marrowfin::table {
namespace {

using market::PriceSizePair;
using market::RunnerCache;
using market::Side;

// Column positions of the fixed columns; the ladder columns follow from
// kFirstLadder, depth columns per block, then traded_volume and the
// starting prices.
enum Fixed : std::size_t {
  kMarketId,
  kPublishTime,
  kBook,
  kMarketStatus,
  kInplay,
  kSelectionId,
  kHandicap,
  kStatus,
  kLastPriceTraded,
  kTotalMatched,
  kFirstLadder,
};

// A batch ends once a text column holds this much, well before 32-bit
// offsets run out, so that no one batch grows without bound on long texts.
constexpr std::size_t kBatchText = std::size_t{64} << 20;

}  // namespace

std::vector<Field> price_table_fields(int depth, bool sp) {
  std::vector<Field> fields = {
      {"market_id", ColumnType::kUtf8, false},
      {"publish_time", ColumnType::kTimestampMsUtc, false},
      {"book", ColumnType::kInt64, false},
      {"market_status", ColumnType::kUtf8, false},
      {"inplay", ColumnType::kBool, false},
      {"selection_id", ColumnType::kInt64, false},
      {"handicap", ColumnType::kFloat64, false},
      {"status", ColumnType::kUtf8, false},
      {"last_price_traded", ColumnType::kFloat64, true},
      {"total_matched", ColumnType::kFloat64, false},
  };
  for (const char* block : {"back_price_", "back_size_", "lay_price_", "lay_size_"}) {
    for (int level = 1; level <= depth; ++level) {
      fields.push_back({block + std::to_string(level), ColumnType::kFloat64, true});
    }
  }
  fields.push_back({"traded_volume", ColumnType::kFloat64, false});
  if (sp) {
    for (const char* name : {"sp_near", "sp_far", "sp_actual"}) {
      fields.push_back({name, ColumnType::kFloat64, true});
    }
  }
  return fields;
}

double sum_sizes(std::span<const PriceSizePair> levels) noexcept {
  util::FloatSum sum;
  for (const PriceSizePair& level : levels) sum.add(level.size);
  return sum.value();
}

PriceTableReader::PriceTableReader(std::shared_ptr<const load::MessageStore> store,
                                   TableOptions options)
    : store_(std::move(store)),
      options_(options),
      fields_(price_table_fields(options.depth, options.sp)) {
  for (const Field& field : fields_) columns_.emplace_back(field);
}

PriceTableReader::~PriceTableReader() {
  if (kept_block_ != nullptr) kept_block_->release();
}

PriceTableReader::Status PriceTableReader::next(ArrowArray* out) {
  const auto& messages = store_->messages;
  rows_ = 0;
  for (;;) {
    if (next_runner_ < runners_.size()) {
      const RunnerCache& runner = *runners_[next_runner_];
      RunnerRow& row = rows_of_market_->rows[runner.sorted_at];
      if (row.change_count == runner.change_count && !options_.every_book) {
        ++next_runner_;
        continue;
      }
      if (!fits(runner)) {
        if (rows_ == 0) return Status::kTextTooLong;
        break;  // the row starts the next batch
      }
      if (row.change_count != runner.change_count) refresh(runner, row);
      // Only now: the last call, which finds no row, allocates nothing.
      if (rows_ == reserved_) reserve_rows();
      append_row(runner, row);
      row.change_count = runner.change_count;
      ++next_runner_;
      if (rows_ >= options_.batch_rows || columns_[kMarketId].text_bytes() >= kBatchText ||
          columns_[kMarketStatus].text_bytes() >= kBatchText ||
          columns_[kStatus].text_bytes() >= kBatchText) {
        break;
      }
    } else if (next_book_ < books_.size()) {
      start_book(books_[next_book_++]);
    } else if (next_message_ < messages.size()) {
      load::prefetch_after(messages, next_message_);
      const load::ParsedMessage& message = messages[next_message_++];
      books_ = markets_.apply(message.market_changes, message.publish_time);
      next_book_ = 0;
    } else {
      break;
    }
  }
  if (rows_ == 0) {
    if (kept_block_ != nullptr) kept_block_->release();  // nothing more to write
    kept_block_ = nullptr;
    return Status::kEnd;
  }
  export_struct_array(columns_, rows_, out);
  last_rows_ = rows_;
  reserved_ = 0;  // the buffers went with the batch
  return Status::kBatch;
}

void PriceTableReader::reserve_rows() {
  // A batch starts with room for as many rows as the last one held (batches
  // of one table are alike), the first for a row per message yet to fold
  // (about what a changed-rows table holds; every-book ones hold more), and
  // doubles it when that runs out: each doubling copies what was written.
  constexpr std::int64_t kFirstRows = 1024;
  auto unread = static_cast<std::int64_t>(store_->messages.size() - next_message_);
  std::int64_t rows =
      rows_ != 0 ? 2 * reserved_ : std::max(last_rows_ != 0 ? last_rows_ : unread, kFirstRows);
  rows = std::min(rows, options_.batch_rows);
  if (rows_ == 0) {
    reserve_batch(columns_, rows, kept_block_);
  } else {
    for (Column& column : columns_) column.reserve(rows, rows_);
  }
  reserved_ = rows;
}

void PriceTableReader::start_book(const market::MarketSet::Touched& book) {
  if (market_rows_.size() <= book.market) market_rows_.resize(book.market + 1);
  rows_of_market_ = &market_rows_[book.market];
  ++rows_of_market_->book;
  if (book.image) {
    rows_of_market_->runners.clear();
    rows_of_market_->rows.clear();
    rows_of_market_->sorted_version = 0;  // mapped anew below
  }
  market::MarketCache& market = markets_.market(book.market);
  market_ = &market;
  std::span<RunnerCache* const> sorted = market.sorted_runners();
  next_runner_ = 0;
  bool remapped = rows_of_market_->sorted_version != market.sorted_version();
  if (remapped) {
    remap(*rows_of_market_, sorted);
    rows_of_market_->sorted_version = market.sorted_version();
  }
  if (options_.every_book || remapped) {
    runners_ = sorted;
  } else {
    // Only the runners noted since this market's last book can have changed:
    // visiting those, in key order, spares a look at every other runner.
    std::span<RunnerCache* const> changed = market.changed_runners();
    changed_runners_.assign(changed.begin(), changed.end());
    std::sort(changed_runners_.begin(), changed_runners_.end(),
              [](const RunnerCache* a, const RunnerCache* b) { return a->sorted_at < b->sorted_at; });
    runners_ = changed_runners_;
  }
  market.forget_changed();
}

void PriceTableReader::remap(MarketRows& rows, std::span<RunnerCache* const> runners) {
  std::unordered_map<const RunnerCache*, std::size_t> had;
  for (std::size_t i = 0; i < rows.runners.size(); ++i) had.emplace(rows.runners[i], i);
  std::vector<RunnerRow> mapped(runners.size());
  for (std::size_t i = 0; i < runners.size(); ++i) {
    if (auto found = had.find(runners[i]); found != had.end()) mapped[i] = rows.rows[found->second];
  }
  rows.runners.assign(runners.begin(), runners.end());
  rows.rows = std::move(mapped);
}

void PriceTableReader::refresh(const RunnerCache& runner, RunnerRow& row) {
  if (options_.depth > 0) {
    read_side(runner.shown(Side::kBack), row.back_count, row.back, row.back_levels);
    read_side(runner.shown(Side::kLay), row.lay_count, row.lay, row.lay_levels);
  }
  std::uint64_t traded = runner.traded_volume.change_count();
  if (traded != row.traded_count) {
    row.traded_volume = sum_sizes(runner.traded_volume.levels());
    row.traded_count = traded;
  }
}

void PriceTableReader::read_side(const market::ShownLadder& shown, std::uint64_t& count,
                                 std::array<PriceSizePair, kMaxDepth>& levels,
                                 std::uint8_t& size) {
  if (shown.count == count) return;
  std::span<const PriceSizePair> shown_levels = shown.levels();
  std::size_t kept = std::min(shown_levels.size(), static_cast<std::size_t>(options_.depth));
  std::copy_n(shown_levels.begin(), kept, levels.begin());
  size = static_cast<std::uint8_t>(kept);
  count = shown.count;
}

bool PriceTableReader::fits(const RunnerCache& runner) const noexcept {
  auto fits_in = [](const Column& column, std::size_t more) {
    return more <= Column::kMaxText - column.text_bytes();
  };
  return fits_in(columns_[kMarketId], market_->market_id.size()) &&
         fits_in(columns_[kMarketStatus], market_->status.size()) &&
         fits_in(columns_[kStatus], runner.status.size());
}

void PriceTableReader::append_row(const RunnerCache& runner, const RunnerRow& row) {
  const std::int64_t at = rows_;
  // fits() was asked first, so the texts go in. They go first: a byte copy
  // may alias anything, so the compiler reloads what it held after one.
  (void)columns_[kMarketId].put(at, std::string_view(market_->market_id));
  (void)columns_[kMarketStatus].put(at, std::string_view(market_->status));
  (void)columns_[kStatus].put(at, std::string_view(runner.status));
  columns_[kPublishTime].put(at, market_->publish_time);
  columns_[kBook].put(at, rows_of_market_->book);
  columns_[kInplay].put(at, market_->in_play);
  columns_[kSelectionId].put(at, runner.selection_id);
  columns_[kHandicap].put(at, runner.handicap);
  if (runner.last_price_traded) {
    columns_[kLastPriceTraded].put(at, *runner.last_price_traded);
  } else {
    columns_[kLastPriceTraded].put_null(at);
  }
  columns_[kTotalMatched].put(at, runner.total_matched);
  const auto depth = static_cast<std::size_t>(options_.depth);
  Column* ladder = &columns_[kFirstLadder];
  auto side = [&](const std::array<PriceSizePair, kMaxDepth>& levels, std::size_t size) {
    std::size_t i = 0;
    for (; i < size; ++i) {  // size <= depth: read_side kept no more
      ladder[i].put(at, levels[i].price);
      ladder[depth + i].put(at, levels[i].size);
    }
    for (; i < depth; ++i) {
      ladder[i].put_null(at);
      ladder[depth + i].put_null(at);
    }
    ladder += 2 * depth;
  };
  side(row.back, row.back_levels);
  side(row.lay, row.lay_levels);
  ladder->put(at, row.traded_volume);
  if (options_.sp) {
    for (const market::SpValue* value : {&runner.near_price, &runner.far_price, &runner.actual_sp}) {
      ++ladder;
      if (std::optional<double> number = sp_number(*value)) {
        ladder->put(at, *number);
      } else {
        ladder->put_null(at);
      }
    }
  }
  end_row(columns_, at);
  ++rows_;
}

}  // namespace marrowfin::table
