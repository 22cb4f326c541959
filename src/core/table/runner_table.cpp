#include "core/table/runner_table.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "core/json/utf8.hpp"
#include "core/market/definition_fields.hpp"
#include "core/market/market_cache.hpp"
#include "core/market/market_fold.hpp"
#include "core/table/price_table.hpp"
#include "core/util/float_sum.hpp"

namespace marrowfin::table {
namespace {

using market::PriceSizePair;
using market::RunnerValues;

// The market's texts after market_id, in column order.
#define MARROWFIN_COUNT_COLUMN(member, column) +1
constexpr std::size_t kMarketTexts = 0 MARROWFIN_MARKET_TEXT_COLUMNS(MARROWFIN_COUNT_COLUMN);
#undef MARROWFIN_COUNT_COLUMN

struct MarketRow {
  std::string market_id;
  std::array<std::optional<std::string>, kMarketTexts> texts;
  std::optional<std::int64_t> market_time;
  std::optional<std::int64_t> off_time;
  std::string market_status;
};

struct RunnerRow {
  std::size_t market;  // index into the market rows
  std::optional<std::int64_t> selection_id;
  std::optional<std::string> runner_name;
  std::optional<std::int64_t> sort_priority;
  std::optional<std::string> status;
  std::optional<std::string> removal_date;
};

// Numbers of a row, beside its RunnerRow: handicap, bsp, then every column
// from pp_traded_volume on, in column order.
constexpr std::size_t kFixedNumbers = 2 + 7 + 5 + 3;
constexpr std::size_t kNumbersPerBefore = 4;

// Column positions.
enum Position : std::size_t {
  kMarketId,
  kFirstMarketText,
  kMarketTime = kFirstMarketText + kMarketTexts,
  kOffTime,
  kMarketStatus,
  kSelectionId,
  kHandicap,
  kRunnerName,
  kSortPriority,
  kStatus,
  kBsp,
  kRemovalDate,
  kFirstNumber,  // pp_traded_volume
};

// A batch ends once a text column holds this much, as the price table's do.
constexpr std::size_t kBatchText = std::size_t{64} << 20;

// Prices with weights: their sum, their weighted mean, lowest and highest,
// each as Python computes it from the same pairs in the same order (sum(),
// min(), max()).
class Weighted {
 public:
  void add(double price, double weight) noexcept {
    products_.add(price * weight);
    weights_.add(weight);
    if (!low_ || price < *low_) low_ = price;
    if (!high_ || price > *high_) high_ = price;
  }
  double total() const noexcept { return weights_.value(); }
  std::optional<double> mean() const noexcept {
    double weights = weights_.value();
    if (!low_ || weights == 0.0) return std::nullopt;
    return products_.value() / weights;
  }
  std::optional<double> low() const noexcept { return low_; }
  std::optional<double> high() const noexcept { return high_; }

 private:
  util::FloatSum products_;
  util::FloatSum weights_;
  std::optional<double> low_;
  std::optional<double> high_;
};

double traded_sum(const RunnerValues& values) noexcept {
  util::FloatSum sum;
  for (const PriceSizePair& level : values.traded) sum.add(level.size);
  return sum.value();
}

}  // namespace

struct RunnerRows::Data {
  std::vector<MarketRow> markets;
  std::vector<RunnerRow> runners;
  std::vector<std::optional<double>> numbers;  // per_row for each runner row
  std::size_t per_row = 0;
};

std::vector<Field> runner_table_fields(std::span<const std::int64_t> before) {
  using enum ColumnType;
  std::vector<Field> fields = {
      {"market_id", kUtf8, false},
#define MARROWFIN_TEXT_FIELD(member, column) {column, kUtf8, true},
      MARROWFIN_MARKET_TEXT_COLUMNS(MARROWFIN_TEXT_FIELD)
#undef MARROWFIN_TEXT_FIELD
      {"market_time", kTimestampMsUtc, true}, {"off_time", kTimestampMsUtc, true},
      {"market_status", kUtf8, false},      {"selection_id", kInt64, true},
      {"handicap", kFloat64, true},         {"runner_name", kUtf8, true},
      {"sort_priority", kInt64, true},      {"status", kUtf8, true},
      {"bsp", kFloat64, true},              {"removal_date", kUtf8, true},
  };
  for (const char* name :
       {"pp_traded_volume", "pp_wap", "pp_min_price", "pp_max_price", "pp_ltp", "pp_back_price",
        "pp_lay_price", "ip_traded_volume", "ip_wap", "ip_min_price", "ip_max_price", "ip_ltp",
        "sp_back_stake_taken", "sp_lay_liability_taken", "sp_actual"}) {
    fields.push_back({name, kFloat64, true});
  }
  for (std::int64_t seconds : before) {
    for (const char* name : {"back_price_", "lay_price_", "ltp_", "traded_volume_"}) {
      std::string field(name);
      field.append(std::to_string(seconds)).push_back('s');
      fields.push_back({std::move(field), kFloat64, true});
    }
  }
  return fields;
}

RunnerRows::RunnerRows(std::vector<std::int64_t> before)
    : before_(std::move(before)), data_(std::make_unique<Data>()) {
  data_->per_row = kFixedNumbers + kNumbersPerBefore * before_.size();
}

RunnerRows::~RunnerRows() = default;

std::size_t RunnerRows::size() const noexcept { return data_->runners.size(); }
std::size_t RunnerRows::markets() const noexcept { return data_->markets.size(); }

std::vector<std::int64_t> RunnerRows::offsets() const {
  std::vector<std::int64_t> offsets;
  for (std::int64_t seconds : before_) offsets.push_back(seconds * 1000);
  return offsets;
}

void RunnerRows::add(std::span<const load::ParsedMessage> messages) {
  market::MarketFold fold(offsets());
  fold.fold(messages);
  add(fold);
}

void RunnerRows::add(market::MarketFold& fold) {
  Data& d = *data_;
  for (std::size_t index = 0; index < fold.size(); ++index) {
    market::MarketCache& m = fold.market(index);
    const market::MarketTrack& track = fold.track(index);
#define MARROWFIN_TEXT_VALUE(member, column) m.member,
    d.markets.push_back({m.market_id,
                         {MARROWFIN_MARKET_TEXT_COLUMNS(MARROWFIN_TEXT_VALUE)},
                         track.market_time,
                         track.off_time,
                         m.status});
#undef MARROWFIN_TEXT_VALUE
    const std::size_t market_row = d.markets.size() - 1;
    // The last definition's runners, the last of a key where it lists one twice.
    std::unordered_map<market::RunnerKey, const market::MarketDefinitionRunner*,
                       market::RunnerKeyHash>
        defined;
    for (const market::MarketDefinitionRunner& r : m.definition_runners) {
      defined[{r.selection_id, market::handicap_key(r.handicap)}] = &r;
    }
    std::span<market::RunnerCache* const> runners = m.sorted_runners();
    if (runners.empty()) {
      d.runners.push_back({market_row, {}, {}, {}, {}, {}});
      d.numbers.resize(d.numbers.size() + d.per_row);
      continue;
    }
    RunnerValues last;
    for (const market::RunnerCache* runner : runners) {
      market::read_values(*runner, last);
      const market::RunnerKey& key = last.key;
      auto found = defined.find(key);
      const market::MarketDefinitionRunner* definition =
          found != defined.end() ? found->second : nullptr;
      RunnerRow row{market_row, runner->selection_id, {}, {}, runner->status, {}};
      std::optional<double> bsp;
      if (definition != nullptr) {
        row.runner_name = definition->name;
        row.sort_priority = definition->sort_priority;
        row.removal_date = definition->removal_date;
        bsp = definition->bsp;
      }
      d.runners.push_back(std::move(row));

      const std::size_t start = d.numbers.size();
      d.numbers.resize(start + d.per_row);
      std::optional<double>* out = &d.numbers[start];
      *out++ = runner->handicap;
      *out++ = bsp;

      // Before the off, from the pre-play book.
      const RunnerValues* pre = track.pre_play.find(key);
      if (pre != nullptr) {
        Weighted traded;
        for (const PriceSizePair& level : pre->traded) traded.add(level.price, level.size);
        *out++ = traded.total();
        *out++ = traded.mean();
        *out++ = traded.low();
        *out++ = traded.high();
        *out++ = pre->last_price_traded;
        *out++ = pre->back_price;
        *out++ = pre->lay_price;
      } else {
        out += 7;
      }

      // In play: what traded between the pre-play and the closing book.
      const RunnerValues* closing = track.closing.find(key);
      if (track.off_time && closing != nullptr) {
        Weighted grown;
        std::span<const PriceSizePair> earlier;
        if (pre != nullptr) earlier = pre->traded;
        auto at = earlier.begin();
        for (const PriceSizePair& level : closing->traded) {  // both lowest price first
          while (at != earlier.end() && at->price < level.price) ++at;
          double growth = at != earlier.end() && at->price == level.price ? level.size - at->size
                                                                          : level.size - 0.0;
          if (growth > 0.0) grown.add(level.price, growth);
        }
        *out++ = grown.total();
        *out++ = grown.mean();
        *out++ = grown.low();
        *out++ = grown.high();
        *out++ = closing->last_price_traded;
      } else {
        out += 5;
      }

      // Starting price: what was taken at the closing book, and the result.
      if (closing != nullptr) {
        *out++ = closing->back_stake_taken;
        *out++ = closing->lay_liability_taken;
      } else {
        out += 2;
      }
      *out++ = sp_number(runner->actual_sp);

      for (const market::BookValues& book : track.before) {
        if (const RunnerValues* then = book.find(key)) {
          *out++ = then->back_price;
          *out++ = then->lay_price;
          *out++ = then->last_price_traded;
          *out++ = traded_sum(*then);
        } else {
          out += kNumbersPerBefore;
        }
      }
    }
  }
}

namespace {

// A state's first bytes: the layout's name and version, and the byte order
// of its numbers.
constexpr std::string_view kStateHeader = std::endian::native == std::endian::little
                                              ? std::string_view("marrowfin runner rows 1 LE\n")
                                              : std::string_view("marrowfin runner rows 1 BE\n");

class StateWriter {
 public:
  explicit StateWriter(std::string& out) : out_(out) {}
  template <class T>
  void raw(T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out_.append(bytes, sizeof(T));
  }
  void size(std::size_t value) { raw<std::uint64_t>(value); }
  void text(std::string_view value) {
    size(value.size());
    out_.append(value);
  }
  template <class T>
  void optional(const std::optional<T>& value) {
    raw<std::uint8_t>(value.has_value());
    if (!value) return;
    if constexpr (std::is_same_v<T, std::string>) {
      text(*value);
    } else {
      raw<T>(*value);
    }
  }

 private:
  std::string& out_;
};

// Reads what StateWriter wrote. Anything short or out of range makes it
// bad(): from then on it reads zeros and empty texts, and counts of none.
class StateReader {
 public:
  explicit StateReader(std::string_view in) : in_(in) {}
  template <class T>
  T raw() {
    T value{};
    if (in_.size() < sizeof(T)) {
      fail();
      return value;
    }
    std::memcpy(&value, in_.data(), sizeof(T));
    in_.remove_prefix(sizeof(T));
    return value;
  }
  // A count of items that each take at least `item_bytes` of the state, so
  // that a forged count cannot ask for more memory than a state that long
  // could fill.
  std::size_t count(std::size_t item_bytes) {
    std::uint64_t value = raw<std::uint64_t>();
    if (value > in_.size() / item_bytes) {
      fail();
      return 0;
    }
    return static_cast<std::size_t>(value);
  }
  void text(std::string& out) {
    std::string_view value = in_.substr(0, count(1));
    in_.remove_prefix(value.size());
    if (!json::is_valid_utf8(value)) {  // Arrow's text columns hold UTF-8
      fail();
      return;
    }
    out = value;
  }
  template <class T>
  void optional(std::optional<T>& out) {
    std::uint8_t present = raw<std::uint8_t>();
    if (present > 1) fail();
    if (present != 1) return;
    if constexpr (std::is_same_v<T, std::string>) {
      text(out.emplace());
    } else {
      out = raw<T>();
    }
  }
  void fail() noexcept {
    bad_ = true;
    in_ = {};
  }
  bool bad() const noexcept { return bad_; }
  bool done() const noexcept { return in_.empty(); }

 private:
  std::string_view in_;
  bool bad_ = false;
};

// A market's fields, and a runner row's after its market, in a state's
// order: the one list that StateWriter writes and StateReader reads.
template <class Io, class Market>
void market_fields(Io& io, Market& m) {
  io.text(m.market_id);
  for (auto& text : m.texts) io.optional(text);
  io.optional(m.market_time);
  io.optional(m.off_time);
  io.text(m.market_status);
}

template <class Io, class Row>
void runner_fields(Io& io, Row& row) {
  io.optional(row.selection_id);
  io.optional(row.runner_name);
  io.optional(row.sort_priority);
  io.optional(row.status);
  io.optional(row.removal_date);
}

}  // namespace

std::string RunnerRows::state() const {
  const Data& d = *data_;
  std::string out(kStateHeader);
  StateWriter w(out);
  w.size(before_.size());
  for (std::int64_t seconds : before_) w.raw(seconds);
  w.size(d.markets.size());
  for (const MarketRow& m : d.markets) market_fields(w, m);
  w.size(d.runners.size());
  for (const RunnerRow& r : d.runners) {
    w.size(r.market);
    runner_fields(w, r);
  }
  for (const std::optional<double>& number : d.numbers) w.optional(number);
  return out;
}

std::unique_ptr<RunnerRows> RunnerRows::from_state(std::string_view state) {
  if (!state.starts_with(kStateHeader)) return nullptr;
  StateReader r(state.substr(kStateHeader.size()));
  std::vector<std::int64_t> before(r.count(sizeof(std::int64_t)));
  for (std::int64_t& seconds : before) {
    seconds = r.raw<std::int64_t>();
    if (seconds < 0 || seconds > kMaxBeforeSeconds) r.fail();
  }
  std::vector<std::int64_t> sorted = before;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) r.fail();
  auto rows = std::make_unique<RunnerRows>(std::move(before));
  Data& d = *rows->data_;
  // A market's least: its id's and status's lengths, and a flag for each
  // text and time.
  d.markets.resize(r.count(8 + kMarketTexts + 2 + 8));
  for (MarketRow& m : d.markets) market_fields(r, m);
  // A row's least: its market, a flag for each of its five values, and one
  // for each number (which follow all rows).
  d.runners.resize(r.count(8 + 5 + d.per_row));
  std::size_t market = 0;
  for (RunnerRow& row : d.runners) {
    row.market = r.raw<std::uint64_t>();
    // As add() makes them: each market's rows together, in market order,
    // every market with one at least.
    if (row.market != market && row.market != market + 1) r.fail();
    market = row.market;
    runner_fields(r, row);
  }
  if (d.runners.empty() ? !d.markets.empty()
                        : d.runners.front().market != 0 || market + 1 != d.markets.size()) {
    r.fail();
  }
  d.numbers.resize(d.runners.size() * d.per_row);
  for (std::optional<double>& number : d.numbers) r.optional(number);
  if (r.bad() || !r.done()) return nullptr;
  return rows;
}

RunnerTableReader::RunnerTableReader(std::shared_ptr<const RunnerRows> rows,
                                     std::int64_t batch_rows)
    : rows_(std::move(rows)), batch_rows_(batch_rows), fields_(runner_table_fields(rows_->before())) {
  for (const Field& field : fields_) columns_.emplace_back(field);
}

RunnerTableReader::~RunnerTableReader() {
  if (kept_block_ != nullptr) kept_block_->release();
}

BatchReader::Status RunnerTableReader::next(ArrowArray* out) {
  const std::size_t total = rows_->data_->runners.size();
  if (next_row_ >= total) {
    if (kept_block_ != nullptr) kept_block_->release();  // nothing more to write
    kept_block_ = nullptr;
    return Status::kEnd;
  }
  const std::int64_t room =
      std::min<std::int64_t>(batch_rows_, static_cast<std::int64_t>(total - next_row_));
  reserve_batch(columns_, room, kept_block_);
  std::int64_t at = 0;
  while (at < room) {
    if (!append_row(next_row_, at)) {
      if (at == 0) return Status::kTextTooLong;
      break;  // the row starts the next batch
    }
    ++next_row_;
    ++at;
    if (std::any_of(columns_.begin(), columns_.end(),
                    [](const Column& c) { return c.text_bytes() >= kBatchText; })) {
      break;
    }
  }
  export_struct_array(columns_, at, out);
  return Status::kBatch;
}

bool RunnerTableReader::append_row(std::size_t index, std::int64_t at) {
  const RunnerRows::Data& d = *rows_->data_;
  const RunnerRow& row = d.runners[index];
  const MarketRow& market = d.markets[row.market];
  auto length = [](const std::optional<std::string>& text) {
    return text ? text->size() : std::size_t{0};
  };
  std::array<std::pair<std::size_t, std::size_t>, 4 + kMarketTexts> texts = {{
      {kMarketId, market.market_id.size()},
      {kMarketStatus, market.market_status.size()},
      {kRunnerName, length(row.runner_name)},
      {kStatus, length(row.status)},
  }};
  for (std::size_t i = 0; i < kMarketTexts; ++i) {
    texts[4 + i] = {kFirstMarketText + i, length(market.texts[i])};
  }
  for (auto [column, size] : texts) {
    if (size > Column::kMaxText - columns_[column].text_bytes()) return false;
  }
  if (length(row.removal_date) > Column::kMaxText - columns_[kRemovalDate].text_bytes()) return false;

  auto text = [&](std::size_t column, const std::optional<std::string>& value) {
    if (value) {
      (void)columns_[column].put(at, std::string_view(*value));  // fits, as checked
    } else {
      columns_[column].put_null(at);
    }
  };
  auto integer = [&](std::size_t column, const std::optional<std::int64_t>& value) {
    if (value) {
      columns_[column].put(at, *value);
    } else {
      columns_[column].put_null(at);
    }
  };
  auto number = [&](std::size_t column, const std::optional<double>& value) {
    if (value) {
      columns_[column].put(at, *value);
    } else {
      columns_[column].put_null(at);
    }
  };
  (void)columns_[kMarketId].put(at, std::string_view(market.market_id));
  for (std::size_t i = 0; i < kMarketTexts; ++i) text(kFirstMarketText + i, market.texts[i]);
  integer(kMarketTime, market.market_time);
  integer(kOffTime, market.off_time);
  (void)columns_[kMarketStatus].put(at, std::string_view(market.market_status));
  integer(kSelectionId, row.selection_id);
  text(kRunnerName, row.runner_name);
  integer(kSortPriority, row.sort_priority);
  text(kStatus, row.status);
  text(kRemovalDate, row.removal_date);
  const std::optional<double>* numbers = &d.numbers[index * d.per_row];
  number(kHandicap, numbers[0]);
  number(kBsp, numbers[1]);
  for (std::size_t i = 2; i < d.per_row; ++i) number(kFirstNumber + i - 2, numbers[i]);
  end_row(columns_, at);
  return true;
}

}  // namespace marrowfin::table
