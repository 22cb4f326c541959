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
      Arrow::methods,
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
