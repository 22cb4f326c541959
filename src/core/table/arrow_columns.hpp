// Columns built row by row into Arrow's memory layout, and their export
// through the C data interface as a struct array (one record batch) with its
// schema. Every exported array owns its buffers, so a consumer may keep a
// column and drop the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "core/table/arrow_abi.hpp"

namespace marrowfin::table {

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
    } else if (count > 16) {
      std::memcpy(to, from, count);
    } else {
      for (std::size_t i = 0; i < count; ++i) to[i] = from[i];
    }
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
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
class Column {
 public:
  explicit Column(const Field& field);

  // Room for `rows` rows, keeping the `held` rows written so far. A batch's
  // first reserve (held 0) of a utf8 column also makes room for as much text
  // as the batch handed over last: batches of one table are alike.
  void reserve(std::int64_t rows, std::int64_t held);

  void put(std::int64_t row, double value) noexcept {
    reinterpret_cast<double*>(values_.data())[row] = value;
    valid(row);
  }
  void put(std::int64_t row, std::int64_t value) noexcept {
    reinterpret_cast<std::int64_t*>(values_.data())[row] = value;
    valid(row);
  }
  void put(std::int64_t row, bool value) noexcept {
    if (value) set_bit(values_, row);
    valid(row);
  }
  // False, writing nothing, when the column's text would pass the 2 GiB
  // that 32-bit offsets can address.
  [[nodiscard]] bool put(std::int64_t row, std::string_view text) {
    std::size_t end = text_.size() + text.size();
    if (end > kMaxText) return false;
    text_.append(text.data(), text.size());
    reinterpret_cast<std::int32_t*>(values_.data())[row + 1] = static_cast<std::int32_t>(end);
    valid(row);
    return true;
  }
  // Not for utf8 columns, whose values never are. The value bytes are zero,
  // so that a batch's bytes do not depend on what the memory held.
  void put_null(std::int64_t row) noexcept {
    if (type_ != ColumnType::kBool) reinterpret_cast<std::uint64_t*>(values_.data())[row] = 0;
    ++null_count_;
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

  static std::size_t bit_bytes(std::int64_t rows) noexcept {
    return (static_cast<std::size_t>(rows) + 7) / 8;
  }
  std::size_t value_bytes(std::int64_t rows) const noexcept;
  static void set_bit(Buffer& bits, std::int64_t row) noexcept {
    bits.data()[row / 8] |= static_cast<std::uint8_t>(1u << (row % 8));
  }
  // Bits of reserved rows start at zero (null, or false).
  void valid(std::int64_t row) noexcept {
    if (nullable_) set_bit(validity_, row);
  }

  ColumnType type_;
  bool nullable_;
  Buffer validity_;  // nullable columns only; bit set = valid
  Buffer values_;    // values, bits of booleans, or 32-bit text offsets
  Buffer text_;      // utf8 columns: the text of every value, end to end
  std::int64_t null_count_ = 0;
  std::size_t last_text_ = 0;  // bytes of text handed over last
};

// Fills `out` (released) with the schema of a struct of `fields`. On
// std::bad_alloc, `out` is left as it was.
void export_struct_schema(std::span<const Field> fields, ArrowSchema* out);

// Fills `out` (released) with a struct array of the columns (all of
// `length` rows), which start again empty. On std::bad_alloc, `out` is left
// as it was and the columns keep their values.
void export_struct_array(std::span<Column> columns, std::int64_t length, ArrowArray* out);

}  // namespace marrowfin::table
