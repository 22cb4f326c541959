// A table handed out as Arrow record batches, one after another: what the
// stream of table_stream.hpp reads, whichever table it is.
#pragma once

#include <span>

#include "core/table/arrow_abi.hpp"
#include "core/table/arrow_columns.hpp"

namespace marrowfin::table {

class BatchReader {
 public:
  enum class Status { kBatch, kEnd, kTextTooLong };

  BatchReader() = default;
  BatchReader(const BatchReader&) = delete;
  BatchReader& operator=(const BatchReader&) = delete;
  virtual ~BatchReader() = default;

  // The columns of every batch, in order.
  virtual std::span<const Field> fields() const noexcept = 0;

  // kBatch: `out` (released) now holds a struct array of the next rows.
  // kEnd: every row was handed out; `out` is untouched. kTextTooLong: one
  // row's texts pass what 32-bit offsets address. Throws std::bad_alloc;
  // after any failure the reader must not be used again.
  virtual Status next(ArrowArray* out) = 0;
};

}  // namespace marrowfin::table
