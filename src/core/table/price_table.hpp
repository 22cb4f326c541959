// The price table of a stream file: one row per runner per book of every
// market in the file, in Arrow record batches. A book is a message that
// touched the market (one per market it touched); a row is written for each
// runner that changed since the market's previous book (every runner of a
// market's first book), or for every runner of every book. The values are
// those the market's books show; `book` numbers a market's books from 0.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/market/market_cache.hpp"
#include "core/market/market_set.hpp"
#include "core/load/message_loader.hpp"
#include "core/table/arrow_columns.hpp"
#include "core/table/batch_reader.hpp"

namespace marrowfin::table {

inline constexpr int kMaxDepth = 10;

struct TableOptions {
  int depth = 3;            // price levels per side, 0..kMaxDepth
  bool every_book = false;  // every runner of every book, not only the changed ones
  std::int64_t batch_rows = 65536;
  bool sp = false;          // the starting-price columns too
};

// The columns in order: market_id, publish_time, book, market_status,
// inplay, selection_id, handicap, status, last_price_traded, total_matched,
// then back_price_1..N, back_size_1..N, lay_price_1..N, lay_size_1..N
// (N = depth), traded_volume and, with `sp`, sp_near, sp_far and sp_actual
// (each null unless the runner's value is a number). `depth` must be in
// 0..kMaxDepth.
std::vector<Field> price_table_fields(int depth, bool sp = false);

// The starting price when it is a number: a text such as "Infinity" or
// "NaN" has no place in a column of doubles.
inline std::optional<double> sp_number(const market::SpValue& value) noexcept {
  const double* number = std::get_if<double>(&value);
  return number != nullptr ? std::optional<double>(*number) : std::nullopt;
}

// Python's sum() of the sizes, in their order: floats added with Neumaier's
// compensation, as Python does from 3.12 on.
double sum_sizes(std::span<const market::PriceSizePair> levels) noexcept;

// Builds the rows batch by batch, folding the messages only as far as the
// batch in hand needs, so that only that batch's rows are ever held.
class PriceTableReader final : public BatchReader {
 public:
  // `options.depth` must be in 0..kMaxDepth and batch_rows at least 1.
  PriceTableReader(std::shared_ptr<const load::MessageStore> store, TableOptions options);
  ~PriceTableReader() override;

  std::span<const Field> fields() const noexcept override { return fields_; }
  // Batches of at most batch_rows rows (or fewer, to keep a text column
  // under 64 MiB).
  Status next(ArrowArray* out) override;

 private:
  // What a runner's last row held, with the counts its ladders were read at.
  struct RunnerRow {
    static constexpr std::uint64_t kNever = UINT64_MAX;
    std::uint64_t change_count = kNever;
    std::uint64_t back_count = kNever;
    std::uint64_t lay_count = kNever;
    std::uint64_t traded_count = kNever;
    std::uint8_t back_levels = 0;
    std::uint8_t lay_levels = 0;
    std::array<market::PriceSizePair, kMaxDepth> back;
    std::array<market::PriceSizePair, kMaxDepth> lay;
    double traded_volume = 0.0;
  };
  // The rows of a market's runners, in the order of the runners they were
  // last written for, mapped anew whenever the market sorted its runners
  // again. An image drops them all: it makes the runners anew, and a new
  // runner may take a dropped one's address.
  struct MarketRows {
    std::vector<const market::RunnerCache*> runners;
    std::vector<RunnerRow> rows;
    std::uint64_t sorted_version = 0;  // the market's, when mapped last
    std::int64_t book = -1;            // the number of the market's book in hand
  };

  void start_book(const market::MarketSet::Touched& book);
  // Lines `rows` up with `runners`, carrying over the rows of runners it had.
  static void remap(MarketRows& rows, std::span<market::RunnerCache* const> runners);
  // Brings `row` up to the runner's ladders, reading only those that moved.
  void refresh(const market::RunnerCache& runner, RunnerRow& row);
  void read_side(const market::ShownLadder& shown, std::uint64_t& count,
                 std::array<market::PriceSizePair, kMaxDepth>& levels, std::uint8_t& size);
  bool fits(const market::RunnerCache& runner) const noexcept;
  // Makes room in every column for the row about to be written.
  void reserve_rows();
  void append_row(const market::RunnerCache& runner, const RunnerRow& row);

  std::shared_ptr<const load::MessageStore> store_;
  TableOptions options_;
  std::vector<Field> fields_;
  std::vector<Column> columns_;
  market::MarketSet markets_;
  std::vector<MarketRows> market_rows_;  // by market index
  std::size_t next_message_ = 0;
  std::span<const market::MarketSet::Touched> books_;  // of the message applied last
  std::size_t next_book_ = 0;
  const market::MarketCache* market_ = nullptr;    // the book being written
  MarketRows* rows_of_market_ = nullptr;
  // The runners of the book to look at, in key order: all of them, or those
  // the market noted as changed (held in changed_runners_).
  std::span<market::RunnerCache* const> runners_;
  std::vector<market::RunnerCache*> changed_runners_;
  std::size_t next_runner_ = 0;
  std::int64_t rows_ = 0;                          // in the batch being built
  std::int64_t reserved_ = 0;                      // rows it has room for
  std::int64_t last_rows_ = 0;                     // in the batch handed over last
  SharedBlock* kept_block_ = nullptr;  // held: see reserve_batch
};

}  // namespace marrowfin::table
