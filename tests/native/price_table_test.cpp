#include "core/table/price_table.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/table/table_stream.hpp"

namespace marrowfin::table {
namespace {

using Cell = std::variant<std::monostate, double, std::int64_t, bool, std::string>;
using Row = std::vector<Cell>;
constexpr std::monostate null;

std::shared_ptr<const load::MessageStore> load(const std::string& lines) {
  load::LoadResult loaded =
      load::load_messages_from_bytes(lines, io::Encoding::kPlain, io::Inflater::default_backend());
  EXPECT_EQ(loaded.error, "");
  return std::move(loaded.store);
}

bool bit(const void* bits, std::int64_t i) {
  return (static_cast<const std::uint8_t*>(bits)[i / 8] >> (i % 8)) & 1;
}

// The rows of one record batch, checked against the schema's types as read.
std::vector<Row> rows_of(const ArrowArray& batch, const std::vector<Field>& fields) {
  EXPECT_EQ(batch.n_children, static_cast<std::int64_t>(fields.size()));
  EXPECT_EQ(batch.null_count, 0);
  std::vector<Row> rows(static_cast<std::size_t>(batch.length));
  for (std::size_t c = 0; c < fields.size(); ++c) {
    const ArrowArray& column = *batch.children[c];
    EXPECT_EQ(column.length, batch.length);
    EXPECT_EQ(column.offset, 0);
    EXPECT_NE(column.release, nullptr);
    std::int64_t nulls = 0;
    for (std::int64_t i = 0; i < column.length; ++i) {
      Row& row = rows[static_cast<std::size_t>(i)];
      if (column.buffers[0] != nullptr && !bit(column.buffers[0], i)) {
        ++nulls;
        row.emplace_back(null);
        continue;
      }
      const void* values = column.buffers[1];
      switch (fields[c].type) {
        case ColumnType::kFloat64: row.emplace_back(static_cast<const double*>(values)[i]); break;
        case ColumnType::kInt64:
        case ColumnType::kTimestampMsUtc:
          row.emplace_back(static_cast<const std::int64_t*>(values)[i]);
          break;
        case ColumnType::kBool: row.emplace_back(bit(values, i)); break;
        case ColumnType::kUtf8: {
          auto* offsets = static_cast<const std::int32_t*>(values);
          EXPECT_LE(offsets[i], offsets[i + 1]);
          row.emplace_back(std::string(static_cast<const char*>(column.buffers[2]) + offsets[i],
                                       static_cast<std::size_t>(offsets[i + 1] - offsets[i])));
          break;
        }
      }
    }
    EXPECT_EQ(column.null_count, nulls) << fields[c].name;
  }
  return rows;
}

// Every row of the table, through a stream of batches of at most
// `batch_rows`, read to its end and once more. The schema's types and flags
// are test_table.py's, read through pyarrow; here, what a consumer may do
// that pyarrow does not: move a child out of the schema and release the rest
// first, and use a released stream.
std::vector<Row> table(const std::string& lines, int depth, bool every_book,
                       std::int64_t batch_rows = 65536, int* batches = nullptr) {
  ArrowArrayStream stream;
  export_price_table_stream(load(lines), {depth, every_book, batch_rows}, &stream);
  ArrowSchema schema;
  EXPECT_EQ(stream.get_schema(&stream, &schema), 0);
  ArrowSchema moved = *schema.children[0];
  schema.children[0]->release = nullptr;
  schema.release(&schema);
  EXPECT_STREQ(moved.name, "market_id");
  moved.release(&moved);
  std::vector<Field> fields = price_table_fields(depth);
  std::vector<Row> rows;
  int count = 0;
  for (int ends = 0; ends < 2;) {
    ArrowArray batch{};
    EXPECT_EQ(stream.get_next(&stream, &batch), 0);
    if (batch.release == nullptr) {
      ++ends;
      continue;
    }
    EXPECT_LE(batch.length, batch_rows);
    for (Row& row : rows_of(batch, fields)) rows.push_back(std::move(row));
    batch.release(&batch);
    EXPECT_EQ(batch.release, nullptr);
    ++count;
  }
  EXPECT_EQ(stream.get_last_error(&stream), nullptr);
  stream.release(&stream);
  ArrowArray batch;
  EXPECT_EQ(stream.get_next(&stream, &batch), EINVAL);
  EXPECT_EQ(stream.get_last_error(&stream), texts::kReleased);
  if (batches != nullptr) *batches = count;
  return rows;
}

// A race long enough that one batch outgrows the room it started with: bits
// (inplay, validity) and texts on both sides of every regrowth, ladders
// whose depth comes and goes, a runner that comes late, one unchanged in
// every other book, and an image.
std::string long_race(int messages) {
  std::string lines;
  for (int i = 1; i <= messages; ++i) {
    std::string n = std::to_string(i);
    lines += R"({"pt": )" + n + R"(, "mc": [{"id": "1.7", )";
    if (i == messages / 2 + 1) lines += R"("img": true, )";
    if (i % 97 == 0) {
      lines += R"("marketDefinition": {"inPlay": )" + std::string(i % 2 ? "true" : "false") +
               R"(, "status": ")" + (i % 3 ? "OPEN" : "SUSPENDED") + R"("}, )";
    }
    lines += R"("rc": [{"id": 1, "atb": [[)" + std::to_string(2 + i % 5) + ", " +
             std::to_string(i % 4) + R"(]], "atl": [[9, )" + std::to_string(i % 2) + "]]}";
    if (i % 2 == 1) lines += i % 7 == 0 ? R"(, {"id": 2, "tv": )" + n + "}" : R"(, {"id": 2, "ltp": )" + n + "}";
    if (i > messages / 3) lines += R"(, {"id": 3, "hc": 1.5, "trd": [[3, )" + n + "]]}";
    lines += "]}]}\n";
  }
  return lines;
}

// A table of every book has a row for every runner of each (two, then three
// from the 1001st book on; which rows changed is test_table.py's). Batches
// of any size give the rows of one that outgrew its room. The buffers of a
// batch share memory that the next batch may take again once they are all
// released: batches held together, or a column held alone while later
// batches are written, must keep their rows.
TEST(PriceTable, EveryBookHasEveryRunnerInBatchesOfAnySizeHeldOrNot) {
  const std::string lines = long_race(3000);
  const std::vector<Field> fields = price_table_fields(3);
  for (bool every_book : {false, true}) {
    int batches = 0;
    std::vector<Row> whole = table(lines, 3, every_book, 65536, &batches);
    EXPECT_EQ(batches, 1);
    ASSERT_GT(whole.size(), 4096u);  // past the first room's regrowths
    EXPECT_TRUE(!every_book || whole.size() == 2u * 1000 + 3 * 2000) << whole.size();
    for (std::int64_t size : {1, 7, 1000}) {
      EXPECT_EQ(table(lines, 3, every_book, size, &batches), whole) << size;
      EXPECT_EQ(batches, (std::ssize(whole) + size - 1) / size) << size;
    }
    for (std::int64_t batch_rows : {8, 1000}) {
      // The first batch's back_price_1 kept alone, the rest of it released
      // before the next batch is written, every later batch held: all of
      // them still read as they did.
      const std::size_t column = 10;
      ASSERT_EQ(fields[column].name, "back_price_1");
      PriceTableReader reader(load(lines), {3, every_book, batch_rows});
      ArrowArray batch;
      ASSERT_EQ(reader.next(&batch), PriceTableReader::Status::kBatch);
      ArrowArray alone = *batch.children[column];
      batch.children[column]->release = nullptr;
      batch.release(&batch);
      std::vector<ArrowArray> held;
      while (reader.next(&batch) == PriceTableReader::Status::kBatch) held.push_back(batch);
      std::vector<Row> rows(whole.begin(), whole.begin() + batch_rows);
      for (ArrowArray& kept : held) {
        for (Row& row : rows_of(kept, fields)) rows.push_back(std::move(row));
        kept.release(&kept);
      }
      EXPECT_EQ(rows, whole) << batch_rows;
      ASSERT_EQ(alone.length, batch_rows);
      for (std::int64_t i = 0; i < alone.length; ++i) {
        const bool valid = alone.buffers[0] == nullptr || bit(alone.buffers[0], i);
        EXPECT_EQ(whole[static_cast<std::size_t>(i)][column],
                  valid ? Cell(static_cast<const double*>(alone.buffers[1])[i]) : Cell(null)) << i;
      }
      alone.release(&alone);
    }
  }
}

// Plain adding gives 0.6000000000000001 and loses the ones next to 1e100; an
// overflow on the way only is undone; Python's sum starts from 0, not -0.0.
TEST(SumSizes, AddsAsPythonsSumDoes) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<std::vector<double>, double> cases[] = {
      {{}, 0.0}, {{0.1, 0.2, 0.3}, 0.6}, {{1e100, 1.0, -1e100, 1.0}, 2.0}, {{1e308, 1e308}, kInf},
      {{1e308, 1e308, -kInf}, NAN}, {{1e308, -5e307, 1e308}, 1.5e308}, {{-0.0}, 0.0},
  };
  for (const auto& [sizes, expected] : cases) {
    std::vector<market::PriceSizePair> levels;
    for (double s : sizes) levels.push_back({1.0, s});
    const double sum = sum_sizes(levels);
    EXPECT_TRUE(std::isnan(expected) ? std::isnan(sum) : sum == expected && !std::signbit(sum))
        << sum;
  }
}

}  // namespace
}  // namespace marrowfin::table
