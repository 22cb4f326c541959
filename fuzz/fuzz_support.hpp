// What the fuzz targets share: a check that aborts, and the cells of an
// exported table's record batches, read with every layout rule checked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/load/message_loader.hpp"
#include "core/table/arrow_abi.hpp"
#include "core/table/arrow_columns.hpp"

namespace marrowfin::fuzz {

// Aborts, naming the failed check's file and line, unless `ok`.
// (std::source_location needs a newer clang than Debian's.)
// The encoding that the magic at the start of any bytes names.
inline io::Encoding sniffed_encoding(std::string_view bytes) {
  return bytes.starts_with("\x1f\x8b")           ? io::Encoding::kGzip
         : bytes.starts_with("BZh")              ? io::Encoding::kBzip2
         : bytes.starts_with("\x28\xb5\x2f\xfd") ? io::Encoding::kZstd
                                                 : io::Encoding::kPlain;
}

// Any bytes loaded as the file whose encoding their magic names.
inline load::LoadResult load_sniffed(std::string_view bytes) {
  return load::load_messages_from_bytes(bytes, sniffed_encoding(bytes), io::Inflater::default_backend());
}

inline void check(bool ok, const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) {
  if (ok) return;
  std::fprintf(stderr, "%s: check failed at line %u\n", file, line);
  std::abort();
}

// A cell by bit pattern, so that -0.0 and 0.0 differ and NaN equals itself.
using Cell = std::variant<std::monostate, std::uint64_t, std::string>;
using Row = std::vector<Cell>;

inline Cell number(double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}
inline Cell integer(std::int64_t i) { return static_cast<std::uint64_t>(i); }

inline bool bit(const void* bits, std::int64_t i) {
  return (static_cast<const std::uint8_t*>(bits)[i / 8] >> (i % 8)) & 1;
}

// The rows of a batch; aborts on a layout fault.
inline void read_batch(const ArrowArray& batch, const std::vector<table::Field>& fields, std::vector<Row>& rows) {
  check(batch.n_children == static_cast<std::int64_t>(fields.size()) && batch.n_buffers == 1 &&
        batch.offset == 0 && batch.null_count == 0 && batch.length > 0);
  std::size_t first = rows.size();
  rows.resize(first + static_cast<std::size_t>(batch.length));
  for (std::size_t c = 0; c < fields.size(); ++c) {
    const ArrowArray& column = *batch.children[c];
    bool utf8 = fields[c].type == table::ColumnType::kUtf8;
    check(column.length == batch.length && column.offset == 0 && column.n_children == 0 &&
          column.n_buffers == (utf8 ? 3 : 2) && column.release != nullptr &&
          column.buffers[1] != nullptr);
    check(fields[c].nullable || (column.null_count == 0 && column.buffers[0] == nullptr));
    std::int64_t nulls = 0;
    for (std::int64_t i = 0; i < column.length; ++i) {
      Row& row = rows[first + static_cast<std::size_t>(i)];
      if (column.buffers[0] != nullptr && !bit(column.buffers[0], i)) {
        ++nulls;
        row.emplace_back(std::monostate{});
        continue;
      }
      const void* values = column.buffers[1];
      switch (fields[c].type) {
        case table::ColumnType::kFloat64:
          row.emplace_back(number(static_cast<const double*>(values)[i]));
          break;
        case table::ColumnType::kInt64:
        case table::ColumnType::kTimestampMsUtc:
          row.emplace_back(integer(static_cast<const std::int64_t*>(values)[i]));
          break;
        case table::ColumnType::kBool: row.emplace_back(std::uint64_t{bit(values, i)}); break;
        case table::ColumnType::kUtf8: {
          auto* offsets = static_cast<const std::int32_t*>(values);
          check(offsets[0] == 0 && offsets[i] <= offsets[i + 1]);
          row.emplace_back(std::string(static_cast<const char*>(column.buffers[2]) + offsets[i],
                                       static_cast<std::size_t>(offsets[i + 1] - offsets[i])));
          break;
        }
      }
    }
    check(column.null_count == nulls);
  }
}

}  // namespace marrowfin::fuzz
