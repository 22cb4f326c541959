// The price table handed out through Arrow's C stream interface.
#pragma once

#include <memory>
#include <string_view>

#include "core/load/message_loader.hpp"
#include "core/table/arrow_abi.hpp"
#include "core/table/price_table.hpp"

namespace marrowfin::table {

// The texts get_last_error gives.
namespace texts {
inline constexpr std::string_view kOutOfMemory = "out of memory while building a record batch";
inline constexpr std::string_view kTextTooLong =
    "the texts of one row do not fit a record batch (2 GiB)";
inline constexpr std::string_view kReleased = "the stream was used after its release";
}  // namespace texts

// Fills `out` (released) with the schema of the table at `depth` (0..kMaxDepth).
// Throws std::bad_alloc, leaving `out` as it was.
void export_price_table_schema(int depth, ArrowSchema* out);

// Fills `out` (released) with a stream of the table's record batches. The
// stream holds a share of `store` and folds the markets itself, batch by
// batch, so streams of one store may be read side by side, each from any one
// thread at a time. Throws std::bad_alloc, leaving `out` as it was.
void export_price_table_stream(std::shared_ptr<const load::MessageStore> store,
                               TableOptions options, ArrowArrayStream* out);

}  // namespace marrowfin::table
