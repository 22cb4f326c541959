#include "bindings/marrowfin_tools/price_table_object.hpp"

#include <new>
#include <utility>

#include "core/table/table_stream.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/common/py_type.hpp"

namespace marrowfin::tools {
namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kSchemaCapsule = "arrow_schema";

struct PriceTable {
  std::shared_ptr<const load::MessageStore> store;
  table::TableOptions options;
  py::Ref path;  // as given (after os.fspath), for the repr
};

PriceTable& state(PyObject* self) noexcept { return py::value_of<PriceTable>(self); }

// Capsule destructors: a consumer that took the struct over has set its
// release to null; one that never did leaves it to us.
void release_stream_capsule(PyObject* capsule) noexcept {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (stream == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

void release_schema_capsule(PyObject* capsule) noexcept {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
  if (schema == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

// __arrow_c_stream__(requested_schema=None): a new stream of the record
// batches. The table has one schema, so a requested one is not looked at,
// as the interface allows.
PyObject* table_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    static const char* keywords[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                     const_cast<char**>(keywords), &requested)) {
      return nullptr;
    }
    if (requested != Py_None && !PyCapsule_IsValid(requested, kSchemaCapsule)) {
      return py::set_requested_schema_type(requested);
    }
    PriceTable& t = state(self);
    auto stream = std::make_unique<ArrowArrayStream>();
    table::export_price_table_stream(t.store, t.options, stream.get());
    PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, release_stream_capsule);
    if (capsule == nullptr) {
      stream->release(stream.get());
      return nullptr;
    }
    stream.release();
    return capsule;
  });
}

// __arrow_c_schema__(): the schema of the record batches.
PyObject* table_arrow_c_schema(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    auto schema = std::make_unique<ArrowSchema>();
    table::export_price_table_schema(state(self).options.depth, schema.get());
    PyObject* capsule = PyCapsule_New(schema.get(), kSchemaCapsule, release_schema_capsule);
    if (capsule == nullptr) {
      schema->release(schema.get());
      return nullptr;
    }
    schema.release();
    return capsule;
  });
}

PyObject* table_depth(PyObject* self, void*) noexcept {
  return PyLong_FromLong(state(self).options.depth);
}

PyObject* table_every_book(PyObject* self, void*) noexcept {
  return Py_NewRef(state(self).options.every_book ? Py_True : Py_False);
}

PyObject* table_repr(PyObject* self) noexcept {
  PriceTable& t = state(self);
  return PyUnicode_FromFormat("<PriceTable of %R, depth=%d, every_book=%s>", t.path.get(),
                              t.options.depth, t.options.every_book ? "True" : "False");
}

PyMethodDef table_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "A new PyCapsule 'arrow_array_stream' of the table's record batches."},
    {"__arrow_c_schema__", table_arrow_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\nA new PyCapsule 'arrow_schema' of the table's schema."},
    {nullptr, nullptr, 0, nullptr},
};

py::ClassSpec table_class() {
  return {
      "marrowfin_tools.PriceTable",
      "The price table of a loaded recording, read through the Arrow PyCapsule interface: "
      "pyarrow.table(t), polars.DataFrame(t), or DuckDB's FROM t. Each read folds the "
      "recording anew in record batches.",
      sizeof(py::Object<PriceTable>),
      py::dealloc_instance<PriceTable>,
      {py::read_only("depth", table_depth), py::read_only("every_book", table_every_book)},
      table_methods,
      {{Py_tp_repr, reinterpret_cast<void*>(table_repr)}},
  };
}

}  // namespace

PyTypeObject* price_table_type() noexcept { return py::ClassHolder<table_class>::get(); }

py::Ref make_price_table(std::shared_ptr<const load::MessageStore> store,
                         table::TableOptions options, PyObject* path) noexcept {
  PyTypeObject* type = price_table_type();
  if (type == nullptr) return {};
  return py::make_instance<PriceTable>(type, std::move(store), options, py::Ref::new_ref(path));
}

}  // namespace marrowfin::tools
