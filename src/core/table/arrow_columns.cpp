#include "core/table/arrow_columns.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "core/util/arena.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marrowfin::table {
namespace {

constexpr std::align_val_t kAlignment{64};

// Stands in for the buffers of an empty column: Arrow wants a pointer even
// where there is nothing to read, and an empty utf8 column its one 0 offset.
alignas(64) const std::uint8_t kZeros[64] = {};

const char* format_of(ColumnType type) noexcept {
  switch (type) {
    case ColumnType::kUtf8: return "u";
    case ColumnType::kFloat64: return "g";
    case ColumnType::kInt64: return "l";
    case ColumnType::kTimestampMsUtc: return "tsm:UTC";
    case ColumnType::kBool: return "b";
  }
  return "n";
}

// A schema node's strings, freed by its release.
struct SchemaNames {
  std::string name;
  std::string format;
};

void release_field_schema(ArrowSchema* schema) noexcept {
  delete static_cast<SchemaNames*>(schema->private_data);
  schema->release = nullptr;
}

struct StructSchema {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> pointers;
};

void release_struct_schema(ArrowSchema* schema) noexcept {
  auto* owned = static_cast<StructSchema*>(schema->private_data);
  // A consumer may have moved a child out, leaving its release null.
  for (ArrowSchema& child : owned->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete owned;
  schema->release = nullptr;
}

struct StructArray {
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> pointers;
  const void* buffers[1] = {nullptr};  // no validity: every row is there
};

void release_struct_array(ArrowArray* array) noexcept {
  auto* owned = static_cast<StructArray*>(array->private_data);
  for (ArrowArray& child : owned->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete owned;
  array->release = nullptr;
}

}  // namespace

SharedBlock* SharedBlock::create(std::size_t bytes) {
  // Huge pages only pay when the block fills some.
  using util::kHugePage;
  bool huge = bytes >= kHugePage;
  void* data = nullptr;
  if (huge) {
    bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    data = util::allocate_huge_pages(bytes);
  } else {
    bytes = std::max<std::size_t>(bytes, 64);
    data = ::operator new(bytes, kAlignment);
  }
  try {
    return new SharedBlock(static_cast<std::uint8_t*>(data), bytes, huge);
  } catch (...) {
    if (huge) std::free(data); else ::operator delete(data, kAlignment);
    throw;
  }
}

void SharedBlock::release() noexcept {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (huge_) std::free(data_); else ::operator delete(data_, kAlignment);
  delete this;
}

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      block_(std::exchange(other.block_, nullptr)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    Buffer old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    block_ = std::exchange(other.block_, nullptr);
  }
  return *this;
}

Buffer::~Buffer() { free(); }

void Buffer::free() noexcept {
  if (block_ != nullptr) {
    block_->release();
  } else if (data_ != nullptr) {
    ::operator delete(data_, kAlignment);
  }
  data_ = nullptr;
  block_ = nullptr;
}

void Buffer::adopt(SharedBlock& block, std::uint8_t* data, std::size_t capacity) noexcept {
  free();
  block.retain();
  block_ = &block;
  data_ = data;
  size_ = 0;
  capacity_ = capacity;
}

void Buffer::grow(std::size_t more) {
  if (more > SIZE_MAX / 2 - size_) throw std::bad_alloc();
  std::size_t capacity = std::max<std::size_t>({capacity_ * 2, size_ + more, 256});
  auto* data = static_cast<std::uint8_t*>(::operator new(capacity, kAlignment));
  if (size_ > 0) std::memcpy(data, data_, size_);
  std::size_t size = size_;
  free();
  data_ = data;
  size_ = size;
  capacity_ = capacity;
}

Column::Column(const Field& field) : type_(field.type), nullable_(field.nullable) {}

void Column::write_line(std::int64_t first) noexcept {
  std::uint8_t* to = values_.data() + 8 * first;
#if defined(__SSE2__)
  const auto* from = reinterpret_cast<const __m128i*>(line_);
  for (int i = 0; i < 4; ++i) _mm_stream_si128(reinterpret_cast<__m128i*>(to) + i, from[i]);
#else
  std::memcpy(to, line_, sizeof line_);
#endif
}

void Column::write_staged(std::int64_t rows) noexcept {
  if (!staged()) return;
  std::int64_t first = rows - rows % kLineRows;
  if (rows > first) {
    std::memcpy(values_.data() + 8 * first, line_, 8 * static_cast<std::size_t>(rows - first));
  }
#if defined(__SSE2__)
  _mm_sfence();  // the lines written past the cache, before anyone else reads them
#endif
}

// The buffers of one exported column, freed by its release.
struct ColumnStorage {
  Buffer validity;
  Buffer values;
  Buffer text;
  const void* pointers[3] = {nullptr, nullptr, nullptr};
};

namespace {

void release_column(ArrowArray* array) noexcept {
  delete static_cast<ColumnStorage*>(array->private_data);
  array->release = nullptr;
}

const void* or_zeros(const Buffer& buffer) noexcept {
  return buffer.size() > 0 ? buffer.data() : kZeros;
}

}  // namespace

std::size_t Column::value_bytes(std::int64_t rows) const noexcept {
  auto n = static_cast<std::size_t>(rows);
  switch (type_) {
    case ColumnType::kBool: return bit_bytes(rows);
    case ColumnType::kUtf8: return 4 * (n + 1);  // 32-bit offsets, one more than rows
    default: return 8 * n;
  }
}

void Column::reserve(std::int64_t rows, std::int64_t held) {
  // Boolean bits are set, never cleared: the room for new rows starts at
  // zero (false); validity bits start set (valid), a null clears its own.
  // The first offset of a utf8 column is zero.
  bool bits = type_ == ColumnType::kBool;
  bool utf8 = type_ == ColumnType::kUtf8;
  if (held > 0) write_staged(held);
  values_.resize(value_bytes(held), bits || (utf8 && held == 0));
  values_.resize(value_bytes(rows), bits);
  if (nullable_) {
    validity_.resize(bit_bytes(held), false);
    validity_.resize_filled(bit_bytes(rows), 0xff);
  }
  if (utf8 && held == 0) text_.reserve(last_text_);
}

void reserve_batch(std::span<Column> columns, std::int64_t rows, SharedBlock*& kept) {
  auto line = [](std::size_t bytes) { return (bytes + 63) & ~std::size_t{63}; };
  std::size_t total = 0;
  for (const Column& column : columns) {
    total += line(column.value_bytes(rows));
    if (column.nullable_) total += line(Column::bit_bytes(rows));
  }
  if (kept == nullptr || !kept->sole() || kept->size() < total) {
    SharedBlock* block = SharedBlock::create(total);
    if (kept != nullptr) kept->release();
    kept = block;
  }
  SharedBlock* block = kept;
  std::uint8_t* at = block->data();
  for (Column& column : columns) {
    column.values_.adopt(*block, at, line(column.value_bytes(rows)));
    at += line(column.value_bytes(rows));
    if (column.nullable_) {
      column.validity_.adopt(*block, at, line(Column::bit_bytes(rows)));
      at += line(Column::bit_bytes(rows));
    }
  }
  for (Column& column : columns) column.reserve(rows, 0);
}

void Column::hand_over(ColumnStorage* storage, std::int64_t length, ArrowArray* out) noexcept {
  write_staged(length);
  values_.resize(value_bytes(length), false);
  std::int64_t null_count = 0;
  if (nullable_) {
    validity_.resize(bit_bytes(length), false);
    // Rows past the length were never written: their bits say null, as
    // Arrow's padding usually does, so a batch's bytes depend on its rows only.
    if (length % 8 != 0) {
      validity_.data()[length / 8] &= static_cast<std::uint8_t>((1u << (length % 8)) - 1);
    }
    // Counted once here rather than at every null.
    const std::uint8_t* bits = validity_.data();
    std::size_t bytes = validity_.size();
    std::size_t i = 0;
    std::int64_t valid = 0;
    for (; i + 8 <= bytes; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, bits + i, 8);
      valid += std::popcount(word);
    }
    for (; i < bytes; ++i) valid += std::popcount(bits[i]);
    null_count = length - valid;
  }
  last_text_ = text_.size();
  storage->validity = std::move(validity_);
  storage->values = std::move(values_);
  storage->text = std::move(text_);
  // Without nulls the validity bitmap may be left out.
  storage->pointers[0] = null_count > 0 ? storage->validity.data() : nullptr;
  storage->pointers[1] = or_zeros(storage->values);
  storage->pointers[2] = or_zeros(storage->text);
  *out = ArrowArray{
      .length = length,
      .null_count = null_count,
      .offset = 0,
      .n_buffers = type_ == ColumnType::kUtf8 ? 3 : 2,
      .n_children = 0,
      .buffers = storage->pointers,
      .children = nullptr,
      .dictionary = nullptr,
      .release = release_column,
      .private_data = storage,
  };
}

void export_struct_schema(std::span<const Field> fields, ArrowSchema* out) {
  // Everything is allocated before anything is handed over.
  auto parent = std::make_unique<StructSchema>();
  parent->children.resize(fields.size());
  std::vector<std::unique_ptr<SchemaNames>> names;
  for (const Field& field : fields) {
    names.push_back(std::make_unique<SchemaNames>(SchemaNames{field.name, format_of(field.type)}));
  }
  parent->pointers.reserve(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    SchemaNames* owned = names[i].release();
    parent->children[i] = ArrowSchema{
        .format = owned->format.c_str(),
        .name = owned->name.c_str(),
        .metadata = nullptr,
        .flags = fields[i].nullable ? ARROW_FLAG_NULLABLE : 0,
        .n_children = 0,
        .children = nullptr,
        .dictionary = nullptr,
        .release = release_field_schema,
        .private_data = owned,
    };
    parent->pointers.push_back(&parent->children[i]);
  }
  *out = ArrowSchema{
      .format = "+s",
      .name = "",
      .metadata = nullptr,
      .flags = 0,
      .n_children = static_cast<std::int64_t>(fields.size()),
      .children = parent->pointers.data(),
      .dictionary = nullptr,
      .release = release_struct_schema,
      .private_data = parent.get(),
  };
  parent.release();
}

void export_struct_array(std::span<Column> columns, std::int64_t length, ArrowArray* out) {
  auto parent = std::make_unique<StructArray>();
  parent->children.resize(columns.size());
  parent->pointers.reserve(columns.size());
  std::vector<std::unique_ptr<ColumnStorage>> storage;
  storage.reserve(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) {
    storage.push_back(std::make_unique<ColumnStorage>());
    parent->pointers.push_back(&parent->children[i]);
  }
  for (std::size_t i = 0; i < columns.size(); ++i) {
    columns[i].hand_over(storage[i].release(), length, &parent->children[i]);
  }
  *out = ArrowArray{
      .length = length,
      .null_count = 0,
      .offset = 0,
      .n_buffers = 1,
      .n_children = static_cast<std::int64_t>(columns.size()),
      .buffers = parent->buffers,
      .children = parent->pointers.data(),
      .dictionary = nullptr,
      .release = release_struct_array,
      .private_data = parent.get(),
  };
  parent.release();
}

}  // namespace marrowfin::table
