#include "core/table/arrow_columns.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>
#include <vector>

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

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    Buffer old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

Buffer::~Buffer() {
  if (data_ != nullptr) ::operator delete(data_, kAlignment);
}

void Buffer::grow(std::size_t more) {
  if (more > SIZE_MAX / 2 - size_) throw std::bad_alloc();
  std::size_t capacity = std::max<std::size_t>({capacity_ * 2, size_ + more, 256});
  auto* data = static_cast<std::uint8_t*>(::operator new(capacity, kAlignment));
  if (size_ > 0) std::memcpy(data, data_, size_);
  if (data_ != nullptr) ::operator delete(data_, kAlignment);
  data_ = data;
  capacity_ = capacity;
}

Column::Column(const Field& field) : type_(field.type), nullable_(field.nullable) {}

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
  // Bits are set, never cleared: the room for new rows starts at zero. The
  // first offset of a utf8 column is zero too.
  bool bits = type_ == ColumnType::kBool;
  bool utf8 = type_ == ColumnType::kUtf8;
  values_.resize(value_bytes(held), bits || (utf8 && held == 0));
  values_.resize(value_bytes(rows), bits);
  if (nullable_) {
    validity_.resize(bit_bytes(held), false);
    validity_.resize(bit_bytes(rows), true);
  }
  if (utf8 && held == 0) text_.reserve(last_text_);
}

void Column::hand_over(ColumnStorage* storage, std::int64_t length, ArrowArray* out) noexcept {
  values_.resize(value_bytes(length), false);
  if (nullable_) validity_.resize(bit_bytes(length), false);
  last_text_ = text_.size();
  storage->validity = std::move(validity_);
  storage->values = std::move(values_);
  storage->text = std::move(text_);
  // Without nulls the validity bitmap may be left out.
  storage->pointers[0] = null_count_ > 0 ? storage->validity.data() : nullptr;
  storage->pointers[1] = or_zeros(storage->values);
  storage->pointers[2] = or_zeros(storage->text);
  *out = ArrowArray{
      .length = length,
      .null_count = null_count_,
      .offset = 0,
      .n_buffers = type_ == ColumnType::kUtf8 ? 3 : 2,
      .n_children = 0,
      .buffers = storage->pointers,
      .children = nullptr,
      .dictionary = nullptr,
      .release = release_column,
      .private_data = storage,
  };
  null_count_ = 0;
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
