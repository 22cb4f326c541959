#include "core/table/table_stream.hpp"

#include <cerrno>
#include <exception>
#include <new>
#include <string>
#include <utility>

namespace marrowfin::table {
namespace {

struct StreamState {
  explicit StreamState(std::unique_ptr<BatchReader> r) : reader(std::move(r)) {}

  std::unique_ptr<BatchReader> reader;
  int failure = 0;  // the errno value of the first failure; the reader is spent then
  std::string error;
};

StreamState& state(ArrowArrayStream* stream) noexcept {
  return *static_cast<StreamState*>(stream->private_data);
}

int fail(StreamState& s, int code, std::string_view text) noexcept {
  s.failure = code;
  try {
    s.error.assign(text);
  } catch (...) {
    s.error.clear();  // get_last_error then has no text, which the interface allows
  }
  return code;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  if (stream->release == nullptr) return EINVAL;
  StreamState& s = state(stream);
  try {
    export_struct_schema(s.reader->fields(), out);
    return 0;
  } catch (const std::bad_alloc&) {
    // Only the schema failed; the batches may still be read.
    s.error.clear();
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  if (stream->release == nullptr) return EINVAL;
  StreamState& s = state(stream);
  if (s.failure != 0) return s.failure;
  try {
    switch (s.reader->next(out)) {
      case BatchReader::Status::kBatch: return 0;
      case BatchReader::Status::kEnd: out->release = nullptr; return 0;
      case BatchReader::Status::kTextTooLong: return fail(s, EOVERFLOW, texts::kTextTooLong);
    }
  } catch (const std::bad_alloc&) {
    return fail(s, ENOMEM, texts::kOutOfMemory);
  } catch (const std::exception& e) {
    return fail(s, EIO, e.what());
  }
  return fail(s, EIO, "unknown failure");
}

const char* stream_get_last_error(ArrowArrayStream* stream) noexcept {
  if (stream->release == nullptr) return texts::kReleased.data();
  const std::string& error = state(stream).error;
  return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* stream) noexcept {
  delete static_cast<StreamState*>(stream->private_data);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

}  // namespace

void export_table_stream(std::unique_ptr<BatchReader> reader, ArrowArrayStream* out) {
  auto owned = std::make_unique<StreamState>(std::move(reader));
  *out = ArrowArrayStream{
      .get_schema = stream_get_schema,
      .get_next = stream_get_next,
      .get_last_error = stream_get_last_error,
      .release = stream_release,
      .private_data = owned.release(),
  };
}

void export_price_table_schema(const TableOptions& options, ArrowSchema* out) {
  export_struct_schema(price_table_fields(options.depth, options.sp), out);
}

void export_price_table_stream(std::shared_ptr<const load::MessageStore> store,
                               TableOptions options, ArrowArrayStream* out) {
  export_table_stream(std::make_unique<PriceTableReader>(std::move(store), options), out);
}

}  // namespace marrowfin::table
