#include "bindings/marrowfin_tools/runner_table_object.hpp"

#include <iterator>
#include <string>
#include <string_view>
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

std::unique_ptr<table::BatchReader> table_reader(RunnerTable& t) {
  return std::make_unique<table::RunnerTableReader>(t.rows);
}

std::vector<table::Field> table_fields(RunnerTable& t) {
  return table::runner_table_fields(t.rows->before());
}

using Arrow = ArrowMethods<RunnerTable, table_reader, table_fields>;

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

// Pickles as _runner_table_from_state(state): a worker process hands its
// table on without importing pyarrow.
PyObject* table_reduce(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    std::string bytes = state(self).rows->state();
    py::Ref module = py::Ref::steal(PyImport_ImportModule("marrowfin_tools._native"));
    if (!module) return nullptr;
    py::Ref rebuild = py::Ref::steal(PyObject_GetAttrString(module.get(), "_runner_table_from_state"));
    if (!rebuild) return nullptr;
    return Py_BuildValue("O(y#)", rebuild.get(), bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

// The Arrow methods and __reduce__.
static_assert(std::size(Arrow::methods) == 3, "table_methods lists every Arrow method");
PyMethodDef table_methods[] = {
    Arrow::methods[0],
    Arrow::methods[1],
    {"__reduce__", table_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickles the table's rows."},
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

PyObject* runner_table_from_state(PyObject*, PyObject* state) noexcept {
  return py::guard([&]() -> PyObject* {
    if (!PyBytes_Check(state)) {
      return py::set_argument_type("_runner_table_from_state", "state", "bytes", state);
    }
    std::unique_ptr<table::RunnerRows> rows = table::RunnerRows::from_state(
        std::string_view(PyBytes_AS_STRING(state), static_cast<std::size_t>(PyBytes_GET_SIZE(state))));
    if (!rows) return py::set_not_a_runner_state();
    py::Ref before = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(rows->before().size())));
    if (!before) return nullptr;
    for (std::size_t i = 0; i < rows->before().size(); ++i) {
      PyObject* seconds = PyLong_FromLongLong(rows->before()[i]);
      if (seconds == nullptr) return nullptr;
      PyTuple_SET_ITEM(before.get(), static_cast<Py_ssize_t>(i), seconds);
    }
    return make_runner_table(std::move(rows), before.get()).release();
  });
}

}  // namespace marrowfin::tools
