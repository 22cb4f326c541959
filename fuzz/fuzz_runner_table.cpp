// libFuzzer: any bytes, either as a runner table's state (when they start
// as one does) or as a stream file (gzip, bzip2 or zstd by its magic) whose
// runner table is built, with times before the market time taken from the
// input's length. Aborts when:
// - a state is accepted but does not write back to the same bytes;
// - a table's state is refused, or reads back to other rows;
// - the file fed to its fold a message at a time, as a worker folds it while
//   reading (twice where the fold is not exact), gives other rows;
// - a batch breaks the Arrow layout (lengths, offsets, validity, null counts),
//   or the stream's end misbehaves.
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/load/message_loader.hpp"
#include "core/table/runner_table.hpp"
#include "core/table/table_stream.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace marrowfin::io;
using namespace marrowfin::load;
using namespace marrowfin::table;
using namespace marrowfin::fuzz;

// Every row of the table; aborts on a layout fault.
std::vector<Row> rows_of(const std::shared_ptr<const RunnerRows>& rows) {
  std::vector<Field> fields = runner_table_fields(rows->before());
  ArrowArrayStream stream;
  // Batches of a few rows end mid-market.
  export_table_stream(std::make_unique<RunnerTableReader>(rows, 3), &stream);
  std::vector<Row> out;
  ArrowArray batch;
  for (;;) {
    check(stream.get_next(&stream, &batch) == 0);
    if (batch.release == nullptr) break;
    check(batch.length <= 3);
    read_batch(batch, fields, out);
    batch.release(&batch);
  }
  check(out.size() == rows->size() && stream.get_last_error(&stream) == nullptr);
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
      rows_of(rows);
    }
    return 0;
  }
  LoadResult loaded = load_sniffed(bytes);
  if (!loaded.store) return 0;  // load failures are fuzz_replay's business
  static const std::vector<std::int64_t> kBefore[] = {{}, {0}, {86400, 300, 60, 0}};
  auto rows = std::make_shared<RunnerRows>(kBefore[size % std::size(kBefore)]);
  rows->add(loaded.store->messages);
  std::string state = rows->state();
  marrowfin::market::MarketFold fed(rows->offsets());
  std::span<const ParsedMessage> messages = loaded.store->messages;
  for (std::size_t i = 0; i < messages.size(); ++i) fed.feed(messages.subspan(i, 1));
  fed.finish();
  marrowfin::market::MarketFold again(rows->offsets());
  if (!fed.exact()) {  // fed again, the final market times known
    again.know_market_times(fed);
    for (std::size_t i = 0; i < messages.size(); ++i) again.feed(messages.subspan(i, 1));
    again.finish();
    check(again.exact());
  }
  RunnerRows streamed({rows->before().begin(), rows->before().end()});
  streamed.add(fed.exact() ? fed : again);
  check(streamed.state() == state);
  std::shared_ptr<const RunnerRows> back = RunnerRows::from_state(state);
  check(back != nullptr && back->state() == state && back->markets() == rows->markets());
  check(rows_of(rows) == rows_of(back));
  return 0;
}
