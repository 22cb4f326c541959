// The runner table of many recordings: one row per runner of each market's
// last book, for every market of each recording, with the market's
// metadata, the runner's result and starting price, its traded prices before
// and in play, and its prices at given times before the market time. Each
// recording is folded once (MarketFold) as it is added, and only its rows
// are kept, so a table of any number of recordings holds one at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/load/message_loader.hpp"
#include "core/market/market_fold.hpp"
#include "core/table/arrow_columns.hpp"
#include "core/table/batch_reader.hpp"

namespace marrowfin::table {

// Seconds before the market time are whole and at most this.
inline constexpr std::int64_t kMaxBeforeSeconds = std::int64_t{1} << 40;

// The columns in order: market_id, event_id, event_name, event_type_id,
// country_code, venue, market_name, market_type, market_time, off_time,
// market_status; selection_id, handicap, runner_name, sort_priority, status,
// bsp, removal_date; pp_traded_volume, pp_wap, pp_min_price, pp_max_price,
// pp_ltp, pp_back_price, pp_lay_price; ip_traded_volume, ip_wap,
// ip_min_price, ip_max_price, ip_ltp; sp_back_stake_taken,
// sp_lay_liability_taken, sp_actual; then for each s of `before`:
// back_price_{s}s, lay_price_{s}s, ltp_{s}s, traded_volume_{s}s.
std::vector<Field> runner_table_fields(std::span<const std::int64_t> before);

// The rows, recording by recording. `before` holds distinct seconds in
// 0..kMaxBeforeSeconds.
class RunnerRows {
 public:
  explicit RunnerRows(std::vector<std::int64_t> before);
  RunnerRows(const RunnerRows&) = delete;
  RunnerRows& operator=(const RunnerRows&) = delete;
  ~RunnerRows();

  // Folds one recording's messages and appends the rows of its markets, in
  // the order they were first named. A market whose last book has no runner
  // gets one row with the runner's columns null, so that no market is lost.
  // Throws std::bad_alloc.
  void add(std::span<const load::ParsedMessage> messages);
  // The same from a recording folded already, by a fold made with offsets()
  // and finished.
  void add(market::MarketFold& folded);
  // The fold's offsets: the seconds of `before` in milliseconds.
  std::vector<std::int64_t> offsets() const;

  // The rows as bytes that from_state() takes back: how a worker process
  // hands its table to another without building Arrow arrays. The layout is
  // this version's and this machine's (a header says which), not a file
  // format. Throws std::bad_alloc.
  std::string state() const;
  // The rows of a state(), or null when `state` is not one of this layout,
  // or is cut or inconsistent. Throws std::bad_alloc.
  static std::unique_ptr<RunnerRows> from_state(std::string_view state);

  std::span<const std::int64_t> before() const noexcept { return before_; }
  std::size_t size() const noexcept;
  std::size_t markets() const noexcept;

 private:
  friend class RunnerTableReader;
  struct Data;
  std::vector<std::int64_t> before_;
  std::unique_ptr<Data> data_;
};

// The rows in record batches of at most `batch_rows` (fewer to keep a text
// column under 64 MiB). Any number of readers may read one RunnerRows side
// by side, which must then not be added to.
class RunnerTableReader final : public BatchReader {
 public:
  explicit RunnerTableReader(std::shared_ptr<const RunnerRows> rows,
                             std::int64_t batch_rows = 65536);
  ~RunnerTableReader() override;

  std::span<const Field> fields() const noexcept override { return fields_; }
  Status next(ArrowArray* out) override;

 private:
  // False, writing nothing, when a text of the row would not fit its column.
  bool append_row(std::size_t row, std::int64_t at);

  std::shared_ptr<const RunnerRows> rows_;
  std::int64_t batch_rows_;
  std::vector<Field> fields_;
  std::vector<Column> columns_;
  std::size_t next_row_ = 0;
  SharedBlock* kept_block_ = nullptr;  // held: see reserve_batch
};

}  // namespace marrowfin::table
