#include "bindings/marrowfin_tools/store_recording.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/errors.hpp"
#include "bindings/common/load.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/marrowfin_tools/loading.hpp"
#include "core/io/byte_sink.hpp"
#include "core/io/zstd_sink.hpp"
#include "core/table/market_catalog.hpp"

namespace marrowfin::tools {
namespace {

PyObject* not_a_store_path(PyObject* path) noexcept {
  return py::set_argument_type("store_recording", "path", "str, bytes or os.PathLike", path);
}

py::Ref text(const std::string& value) noexcept {
  return py::Ref::steal(
      PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

py::Ref text_or_none(const std::optional<std::string>& value) noexcept {
  return value ? text(*value) : py::Ref::new_ref(Py_None);
}

py::Ref integer(long long value) noexcept { return py::Ref::steal(PyLong_FromLongLong(value)); }

py::Ref integer_or_none(const std::optional<std::int64_t>& value) noexcept {
  return value ? integer(*value) : py::Ref::new_ref(Py_None);
}

// Sets d[key] = value, stealing `value`; false with an error set.
bool set(PyObject* d, const char* key, py::Ref value) noexcept {
  return value && PyDict_SetItemString(d, key, value.get()) == 0;
}

// The entry as a dict keyed by the catalogue's column names (new reference).
py::Ref entry_dict(const table::CatalogEntry& e) noexcept {
  py::Ref winners = py::Ref::steal(PyList_New(0));
  if (!winners) return {};
  for (std::int64_t id : e.winners) {
    py::Ref item = integer(id);
    if (!item || PyList_Append(winners.get(), item.get()) < 0) return {};
  }
  py::Ref d = py::Ref::steal(PyDict_New());
  if (!d) return {};
  PyObject* out = d.get();
  std::size_t at = 0;
  bool ok = set(out, "market_id", text(e.market_id)) &&
#define MARROWFIN_SET_TEXT(member, column) set(out, column, text_or_none(e.texts[at++])) &&
            MARROWFIN_MARKET_TEXT_COLUMNS(MARROWFIN_SET_TEXT)
#undef MARROWFIN_SET_TEXT
            set(out, "market_time", integer_or_none(e.market_time)) &&
            set(out, "off_time", integer_or_none(e.off_time)) &&
            set(out, "first_publish_time", integer(e.first_publish_time)) &&
            set(out, "last_publish_time", integer(e.last_publish_time)) &&
            set(out, "books", integer(e.books)) && set(out, "status", text(e.status)) &&
            set(out, "number_of_runners", integer(e.number_of_runners)) &&
            set(out, "winners", std::move(winners));
  return ok ? std::move(d) : py::Ref();
}

}  // namespace

PyObject* store_recording(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    static const char* keywords[] = {"path", "fd", "level", nullptr};
    PyObject* path = nullptr;
    int fd = -1;
    int level = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oii:store_recording",
                                     const_cast<char**>(keywords), &path, &fd, &level)) {
      return nullptr;
    }
    if (level < io::ZstdSink::kMinLevel || level > io::ZstdSink::kMaxLevel) {
      py::Ref given = integer(level);
      if (!given) return nullptr;
      return py::set_out_of_range("level", io::ZstdSink::kMinLevel, io::ZstdSink::kMaxLevel,
                                  given.get());
    }
    py::Ref fspath = fspath_of(path, not_a_store_path);
    if (!fspath) return nullptr;
    py::Ref bytes = path_bytes(fspath.get());
    if (!bytes) return nullptr;

    io::FdSink file(fd);
    io::ZstdSink zstd(file, level);
    // Compressed on the reading thread as it decodes, so the text is decoded
    // once: the store's file holds exactly what the load parsed.
    std::unique_ptr<load::MessageStore> store = py::load_file(bytes_view(bytes.get()), true, &zstd);
    // The store's file failing is the store's failure, not the recording's.
    if (!store) return file.error_number() != 0 ? py::set_os_error(file.error_number()) : nullptr;
    std::string failure;
    std::vector<table::CatalogEntry> entries;
    if (!unlocked([&] {
          failure = zstd.finish();
          if (failure.empty()) entries = table::catalog_entries(store->messages);
          store.reset();
        })) {
      return nullptr;
    }
    if (!failure.empty()) {
      return file.error_number() != 0 ? py::set_os_error(file.error_number()) : py::set_value_error(failure);
    }
    py::Ref rows = py::Ref::steal(PyList_New(0));
    if (!rows) return nullptr;
    for (const table::CatalogEntry& e : entries) {
      py::Ref row = entry_dict(e);
      if (!row || PyList_Append(rows.get(), row.get()) < 0) return nullptr;
    }
    return rows.release();
  });
}

}  // namespace marrowfin::tools
