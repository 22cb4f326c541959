#include "bindings/marrowfin_tools/runner_table_object.hpp"

#include <utility>

#include "bindings/common/errors.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/common/py_type.hpp"
#include "bindings/marrowfin_tools/arrow_capsules.hpp"

namespace marrowfin::tools {
namespace {

struct RunnerTable {
  std::shared_ptr<const table::RunnerRows> rows;
  py::Ref before;  // tuple of int
};

RunnerTable& state(PyObject* self) noexcept { return py::value_of<RunnerTable>(self); }

// __arrow_c_stream__(requested_schema=None): a new stream of the record batches.
PyObject* table_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    if (!parse_stream_arguments(args, kwargs)) return nullptr;
    return stream_capsule(std::make_unique<table::RunnerTableReader>(state(self).rows));
  });
}

// __arrow_c_schema__(): the schema of the record batches.
PyObject* table_arrow_c_schema(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    return schema_capsule(table::runner_table_fields(state(self).rows->before()));
  });
}

PyObject* table_before(PyObject* self, void*) noexcept { return Py_NewRef(state(self).before.get()); }

PyObject* table_markets(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(state(self).rows->markets());
}

PyObject* table_rows(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(state(self).rows->size());
}

PyObject* table_repr(PyObject* self) noexcept {
  RunnerTable& t = state(self);
  return PyUnicode_FromFormat("<RunnerTable of %zu markets, %zu rows, before=%R>",
                              t.rows->markets(), t.rows->size(), t.before.get());
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
      "marrowfin_tools.RunnerTable",
      "The runner table of some recordings (a row per runner of each market's last book), "
      "read through the Arrow PyCapsule interface: pyarrow.table(t), polars.DataFrame(t), or "
      "DuckDB's FROM t.",
      sizeof(py::Object<RunnerTable>),
      py::dealloc_instance<RunnerTable>,
      {py::read_only("before", table_before), py::read_only("markets", table_markets),
       py::read_only("rows", table_rows)},
      table_methods,
      {{Py_tp_repr, reinterpret_cast<void*>(table_repr)}},
  };
}

}  // namespace

PyTypeObject* runner_table_type() noexcept { return py::ClassHolder<table_class>::get(); }

py::Ref make_runner_table(std::shared_ptr<const table::RunnerRows> rows, PyObject* before) noexcept {
  PyTypeObject* type = runner_table_type();
  if (type == nullptr) return {};
  return py::make_instance<RunnerTable>(type, std::move(rows), py::Ref::new_ref(before));
}

}  // namespace marrowfin::tools
