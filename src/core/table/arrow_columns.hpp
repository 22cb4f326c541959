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
  void append(const void* bytes, std::size_t count) {
    if (count > capacity_ - size_) grow(count);
    if (count > 0) std::memcpy(data_ + size_, bytes, count);
    size_ += count;
  }
  template <class T>
  void append_value(T value) {
    append(&value, sizeof value);
  }
  // Appends one bit (least significant first within a byte) to a buffer
  // holding `bits` bits so far.
  void append_bit(std::int64_t bits, bool value) {
    if (bits % 8 == 0) append_value<std::uint8_t>(0);
    if (value) data_[bits / 8] |= static_cast<std::uint8_t>(1u << (bits % 8));
  }

 private:
  void grow(std::size_t more);

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

// The values of one column of the record batch being built. Each append must
// match the column's type; append_null needs a nullable column.
class Column {
 public:
  explicit Column(const Field& field);

  void append(double value) {
    values_.append_value(value);
    valid();
  }
  void append(std::int64_t value) {
    values_.append_value(value);
    valid();
  }
  void append(bool value) {
    values_.append_bit(length_, value);
    valid();
  }
  // False, appending nothing, when the column's text would pass the 2 GiB
  // that 32-bit offsets can address.
  [[nodiscard]] bool append(std::string_view text) {
    std::size_t end = text_.size() + text.size();
    if (end > kMaxText) return false;
    if (values_.size() == 0) values_.append_value<std::int32_t>(0);  // the first offset
    text_.append(text.data(), text.size());
    values_.append_value(static_cast<std::int32_t>(end));
    valid();
    return true;
  }
  // Not for utf8 columns, whose values never are.
  void append_null() {
    if (type_ == ColumnType::kBool) {
      values_.append_bit(length_, false);
    } else {
      values_.append_value<std::uint64_t>(0);
    }
    validity_.append_bit(length_, false);
    ++null_count_;
    ++length_;
  }

  // Makes room for as many values (and as much text) as the batch handed
  // over last held: batches of one table are alike.
  void reserve_as_last() {
    validity_.reserve(last_sizes_[0]);
    values_.reserve(last_sizes_[1]);
    text_.reserve(last_sizes_[2]);
  }

  std::int64_t length() const noexcept { return length_; }
  // Bytes of text held (utf8 columns).
  std::size_t text_bytes() const noexcept { return text_.size(); }

  static constexpr std::size_t kMaxText = 0x7fffffff;

 private:
  friend void export_struct_array(std::span<Column> columns, std::int64_t length,
                                  ArrowArray* out);
  // Moves the values into `storage` (allocated beforehand) and describes them
  // in `out`, which takes `storage` over; the column starts again empty.
  void hand_over(ColumnStorage* storage, ArrowArray* out) noexcept;

  void valid() {
    if (nullable_) validity_.append_bit(length_, true);
    ++length_;
  }

  ColumnType type_;
  bool nullable_;
  Buffer validity_;  // nullable columns only; bit set = valid
  Buffer values_;    // values, bits of booleans, or 32-bit text offsets
  Buffer text_;      // utf8 columns: the text of every value, end to end
  std::int64_t length_ = 0;
  std::int64_t null_count_ = 0;
  std::size_t last_sizes_[3] = {0, 0, 0};  // of the buffers handed over last
};

// Fills `out` (released) with the schema of a struct of `fields`. On
// std::bad_alloc, `out` is left as it was.
void export_struct_schema(std::span<const Field> fields, ArrowSchema* out);

// Fills `out` (released) with a struct array of the columns (all of
// `length` rows), which start again empty. On std::bad_alloc, `out` is left
// as it was and the columns keep their values.
void export_struct_array(std::span<Column> columns, std::int64_t length, ArrowArray* out);

}  // namespace marrowfin::table
