// Tables handed out through Arrow's C stream interface.
#pragma once

#include <memory>
#include <string_view>

#include "core/load/message_loader.hpp"
#include "core/table/arrow_abi.hpp"
#include "core/table/batch_reader.hpp"
#include "core/table/price_table.hpp"

namespace marrowfin::table {

// The texts get_last_error gives.
namespace texts {
inline constexpr std::string_view kOutOfMemory = "out of memory while building a record batch";
inline constexpr std::string_view kTextTooLong =
    "the texts of one row do not fit a record batch (2 GiB)";
inline constexpr std::string_view kReleased = "the stream was used after its release";
}  // namespace texts

// Fills `out` (released) with a stream of the reader's record batches. The
// stream owns the reader; it may be read from any one thread at a time.
// Throws std::bad_alloc, leaving `out` as it was (and the reader freed).
void export_table_stream(std::unique_ptr<BatchReader> reader, ArrowArrayStream* out);

// Fills `out` (released) with the schema of the price table of `options`.
// Throws std::bad_alloc, leaving `out` as it was.
void export_price_table_schema(const TableOptions& options, ArrowSchema* out);

// Fills `out` (released) with a stream of the price table's record batches.
// The stream holds a share of `store` and folds the markets itself, batch by
// batch, so streams of one store may be read side by side, each from any one
// thread at a time. Throws std::bad_alloc, leaving `out` as it was.
void export_price_table_stream(std::shared_ptr<const load::MessageStore> store,
                               TableOptions options, ArrowArrayStream* out);

}  // namespace marrowfin::table
