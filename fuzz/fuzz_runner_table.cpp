// libFuzzer: any bytes, either as a runner table's state (when they start
// as one does) or as a stream file (gzip, bzip2 or zstd by its magic) whose
// runner table is built, with times before the market time taken from the
// input's length. Aborts when:
// - a state is accepted but does not write back to the same bytes;
// - a table's state is refused, or reads back to other rows;
// - a batch breaks the Arrow layout (lengths, offsets, validity, null counts),
//   or the stream's end misbehaves.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/load/message_loader.hpp"
#include "core/table/runner_table.hpp"
#include "core/table/table_stream.hpp"

namespace {

using namespace marrowfin::io;
using namespace marrowfin::load;
using namespace marrowfin::table;

void check(bool ok, unsigned line = __builtin_LINE()) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_runner_table: check failed at line %u\n", line);
  std::abort();
}

bool bit(const void* bits, std::int64_t i) {
  return (static_cast<const std::uint8_t*>(bits)[i / 8] >> (i % 8)) & 1;
}

// Every cell of the table as text, null apart; aborts on a layout fault.
std::vector<std::string> cells(const std::shared_ptr<const RunnerRows>& rows) {
  std::vector<Field> fields = runner_table_fields(rows->before());
  ArrowArrayStream stream;
  // Batches of a few rows end mid-market.
  export_table_stream(std::make_unique<RunnerTableReader>(rows, 3), &stream);
  std::vector<std::string> out;
  std::size_t total = 0;
  ArrowArray batch;
  for (;;) {
    check(stream.get_next(&stream, &batch) == 0);
    if (batch.release == nullptr) break;
    check(batch.n_children == static_cast<std::int64_t>(fields.size()) && batch.length > 0 &&
          batch.length <= 3 && batch.null_count == 0);
    total += static_cast<std::size_t>(batch.length);
    for (std::size_t c = 0; c < fields.size(); ++c) {
      const ArrowArray& column = *batch.children[c];
      bool utf8 = fields[c].type == ColumnType::kUtf8;
      check(column.length == batch.length && column.offset == 0 &&
            column.n_buffers == (utf8 ? 3 : 2) && column.buffers[1] != nullptr);
      std::int64_t nulls = 0;
      for (std::int64_t i = 0; i < column.length; ++i) {
        if (column.buffers[0] != nullptr && !bit(column.buffers[0], i)) {
          ++nulls;
          out.emplace_back("\xff null");
        } else if (utf8) {
          auto* offsets = static_cast<const std::int32_t*>(column.buffers[1]);
          check(offsets[0] == 0 && offsets[i] <= offsets[i + 1]);
          out.emplace_back(static_cast<const char*>(column.buffers[2]) + offsets[i],
                           static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
        } else {  // every other column is of 8-byte values
          out.emplace_back(static_cast<const char*>(column.buffers[1]) + 8 * i, 8);
        }
      }
      check(column.null_count == nulls);
    }
    batch.release(&batch);
  }
  check(total == rows->size() && stream.get_last_error(&stream) == nullptr);
  stream.release(&stream);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.starts_with("marrowfin runner rows")) {
    std::shared_ptr<const RunnerRows> rows = RunnerRows::from_state(bytes);
    if (rows) {
      check(rows->state() == bytes);
      cells(rows);
    }
    return 0;
  }
  LoadResult loaded =
      load_messages_from_bytes(bytes,
                               bytes.starts_with("\x1f\x8b")           ? Encoding::kGzip
                               : bytes.starts_with("BZh")              ? Encoding::kBzip2
                               : bytes.starts_with("\x28\xb5\x2f\xfd") ? Encoding::kZstd
                                                                       : Encoding::kPlain,
                               Inflater::default_backend());
  if (!loaded.store) return 0;  // load failures are fuzz_replay's business
  static const std::vector<std::int64_t> kBefore[] = {{}, {0}, {86400, 300, 60, 0}};
  auto rows = std::make_shared<RunnerRows>(kBefore[size % std::size(kBefore)]);
  rows->add(loaded.store->messages);
  std::string state = rows->state();
  std::shared_ptr<const RunnerRows> back = RunnerRows::from_state(state);
  check(back != nullptr && back->state() == state && back->markets() == rows->markets());
  check(cells(rows) == cells(back));
  return 0;
}
