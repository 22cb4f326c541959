// Columns built row by row into Arrow's memory layout, and their export
// through the C data interface as a struct array (one record batch) with its
// schema. Every exported array owns its buffers, so a consumer may keep a
// column and drop the rest.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "core/table/arrow_abi.hpp"

namespace marrowfin::table {

// Memory that the buffers of one record batch share: taken in one piece (in
// huge pages where the system gives them, when it is large), so that writing
// a table into fresh memory costs a few faults instead of one per 4 KiB
// page, and freed with the last buffer that uses it, from any thread.
class SharedBlock {
 public:
  // A block of at least `bytes`, held once by the caller. Throws std::bad_alloc.
  static SharedBlock* create(std::size_t bytes);
  std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept;
  // True when the caller's hold is the only one left.
  bool sole() const noexcept { return refs_.load(std::memory_order_acquire) == 1; }

 private:
  SharedBlock(std::uint8_t* data, std::size_t size, bool huge) noexcept
      : data_(data), size_(size), huge_(huge) {}
  std::uint8_t* data_;
  std::size_t size_;
  bool huge_;  // from posix_memalign, else operator new
  std::atomic<std::size_t> refs_{1};
};

// A growable byte buffer, 64-byte aligned as Arrow recommends. Growing may
// throw std::bad_alloc.
class Buffer {
 public:
  Buffer() noexcept = default;
  Buffer(Buffer&& other) noexcept;
  Buffer& operator=(Buffer&& other) noexcept;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer();

  const std::uint8_t* data() const noexcept { return data_; }
  std::uint8_t* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

  // Makes room for `bytes` in all, so that filling it to there copies nothing.
  void reserve(std::size_t bytes) {
    if (bytes > capacity_) grow(bytes - size_);
  }
  // Makes the buffer `bytes` long (growing keeps what it held); bytes it
  // did not hold are zero when `zero`, else undefined until written.
  void resize(std::size_t bytes, bool zero) {
    reserve(bytes);
    if (zero && bytes > size_) std::memset(data_ + size_, 0, bytes - size_);
    size_ = bytes;
  }
  // The same, the bytes it did not hold set to `fill`.
  void resize_filled(std::size_t bytes, std::uint8_t fill) {
    reserve(bytes);
    if (bytes > size_) std::memset(data_ + size_, fill, bytes - size_);
    size_ = bytes;
  }
  // Takes `capacity` bytes at `data`, a 64-byte aligned piece of `block`
  // (which it holds from now on), in place of what it held: empty.
  void adopt(SharedBlock& block, std::uint8_t* data, std::size_t capacity) noexcept;
  void append(const void* bytes, std::size_t count) {
    if (count > capacity_ - size_) grow(count);
    copy(data_ + size_, static_cast<const std::uint8_t*>(bytes), count);
    size_ += count;
  }

 private:
  void grow(std::size_t more);
  // The texts of a table are short: copied inline, not through a call.
  static void copy(std::uint8_t* to, const std::uint8_t* from, std::size_t count) noexcept {
    if (count >= 8 && count <= 16) {
      std::memcpy(to, from, 8);
      std::memcpy(to + count - 8, from + count - 8, 8);
    } else if (count >= 4 && count < 8) {  // statuses: "OPEN", "ACTIVE"
      std::memcpy(to, from, 4);
      std::memcpy(to + count - 4, from + count - 4, 4);
    } else if (count > 16) {
      std::memcpy(to, from, count);
    } else {
      for (std::size_t i = 0; i < count; ++i) to[i] = from[i];
    }
  }

  void free() noexcept;

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  SharedBlock* block_ = nullptr;  // holds data_ when set, else data_ is its own
};

struct ColumnStorage;  // the buffers of a column once exported

enum class ColumnType : std::uint8_t { kUtf8, kFloat64, kInt64, kTimestampMsUtc, kBool };

// One column of a table: its name, its type and whether it may hold nulls.
struct Field {
  std::string name;
  ColumnType type;
  bool nullable;
};

// The values of one column of the record batch being built, written in place
// row by row: rows 0, 1, 2... each once, below the rows reserved. Each put
// must match the column's type; put_null needs a nullable column. Rows are
// counted by the caller, so a put touches the row's bytes and nothing else.
// Once every column of a row was put, end_row() must be called for it.
class alignas(64) Column {
 public:
  explicit Column(const Field& field);

  // Room for `rows` rows, keeping the `held` rows written so far. A batch's
  // first reserve (held 0) of a utf8 column also makes room for as much text
  // as the batch handed over last: batches of one table are alike.
  void reserve(std::int64_t rows, std::int64_t held);
  friend void reserve_batch(std::span<Column> columns, std::int64_t rows, SharedBlock*& kept);

  void put(std::int64_t row, double value) noexcept {
    line_[slot(row)] = std::bit_cast<std::uint64_t>(value);
  }
  void put(std::int64_t row, std::int64_t value) noexcept {
    line_[slot(row)] = static_cast<std::uint64_t>(value);
  }
  void put(std::int64_t row, bool value) noexcept {
    if (value) values_.data()[row / 8] |= static_cast<std::uint8_t>(1u << (row % 8));
  }
  // False, writing nothing, when the column's text would pass the 2 GiB
  // that 32-bit offsets can address.
  [[nodiscard]] bool put(std::int64_t row, std::string_view text) {
    std::size_t end = text_.size() + text.size();
    if (end > kMaxText) return false;
    text_.append(text.data(), text.size());
    reinterpret_cast<std::int32_t*>(values_.data())[row + 1] = static_cast<std::int32_t>(end);
    return true;
  }
  // The value bytes are zero (a text null is empty), so that a batch's bytes
  // do not depend on what the memory held.
  void put_null(std::int64_t row) noexcept {
    if (type_ == ColumnType::kUtf8) {
      reinterpret_cast<std::int32_t*>(values_.data())[row + 1] =
          static_cast<std::int32_t>(text_.size());
    } else if (type_ != ColumnType::kBool) {
      line_[slot(row)] = 0;
    }
    validity_.data()[row / 8] &= static_cast<std::uint8_t>(~(1u << (row % 8)));
  }

  // Bytes of text held (utf8 columns).
  std::size_t text_bytes() const noexcept { return text_.size(); }

  static constexpr std::size_t kMaxText = 0x7fffffff;

 private:
  friend void export_struct_array(std::span<Column> columns, std::int64_t length,
                                  ArrowArray* out);
  // Moves the first `length` rows into `storage` (allocated beforehand) and
  // describes them in `out`, which takes `storage` over; the column starts
  // again empty, with nothing reserved.
  void hand_over(ColumnStorage* storage, std::int64_t length, ArrowArray* out) noexcept;

  friend void end_row(std::span<Column> columns, std::int64_t row) noexcept;
  // Fixed-width values gather in a cache line's worth of rows (a line of
  // the 64-byte aligned buffer) and go out in one write past the cache. A
  // value written alone makes the processor first fetch the line it lands
  // in, for every column; a table is written once and read later. The line
  // is full when its last row ends, for every column at once: one test per
  // row rather than one per value.
  static constexpr std::int64_t kLineRows = 8;
  static std::size_t slot(std::int64_t row) noexcept {
    return static_cast<std::size_t>(row) % kLineRows;
  }
  // Whether values go through line_: all but texts and booleans.
  bool staged() const noexcept {
    return type_ != ColumnType::kUtf8 && type_ != ColumnType::kBool;
  }
  // Writes the staged line whose first row is `first` (a multiple of 8), a
  // whole 64-byte line at once past the cache (non-temporal stores): a table
  // is written once and read later, so fetching each line first is wasted.
  void write_line(std::int64_t first) noexcept;
  // Writes the staged values of rows [rows rounded down to 8, rows): those of
  // a line not yet full, before the buffer is copied or handed over.
  void write_staged(std::int64_t rows) noexcept;

  static std::size_t bit_bytes(std::int64_t rows) noexcept {
    return (static_cast<std::size_t>(rows) + 7) / 8;
  }
  std::size_t value_bytes(std::int64_t rows) const noexcept;

  ColumnType type_;
  bool nullable_;
  // Nullable columns only; bit set = valid. Reserved rows start valid, so
  // that only a null touches the bitmap: most values of a table are there.
  Buffer validity_;
  Buffer values_;    // values, bits of booleans, or 32-bit text offsets
  Buffer text_;      // utf8 columns: the text of every value, end to end
  alignas(64) std::uint64_t line_[kLineRows] = {};  // fixed-width values not yet written
  std::size_t last_text_ = 0;  // bytes of text handed over last
};

// Ends `row` (the last row put) in every one of `columns`.
inline void end_row(std::span<Column> columns, std::int64_t row) noexcept {
  if (Column::slot(row) != Column::kLineRows - 1) return;
  for (Column& column : columns) {
    if (column.staged()) column.write_line(row - (Column::kLineRows - 1));
  }
}

// A batch's first reserve (Column::reserve with held 0) for all `columns` at
// once, their values and validity bits in one SharedBlock. `kept` is the
// block of the batch before (or null), held by the caller: it is taken
// again when every buffer of that batch was released and it is large
// enough, as memory written once costs no more faults; else it is released
// and `kept` becomes the new block, held for the next call.
void reserve_batch(std::span<Column> columns, std::int64_t rows, SharedBlock*& kept);

// Fills `out` (released) with the schema of a struct of `fields`. On
// std::bad_alloc, `out` is left as it was.
void export_struct_schema(std::span<const Field> fields, ArrowSchema* out);

// Fills `out` (released) with a struct array of the columns (all of
// `length` rows), which start again empty. On std::bad_alloc, `out` is left
// as it was and the columns keep their values.
void export_struct_array(std::span<Column> columns, std::int64_t length, ArrowArray* out);

}  // namespace marrowfin::table
