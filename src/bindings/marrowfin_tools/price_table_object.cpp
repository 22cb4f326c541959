#include "bindings/marrowfin_tools/price_table_object.hpp"

#include <utility>

#include "bindings/common/errors.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/common/py_type.hpp"
#include "bindings/marrowfin_tools/arrow_capsules.hpp"

namespace marrowfin::tools {
namespace {

struct PriceTable {
  std::shared_ptr<const load::MessageStore> store;
  table::TableOptions options;
  py::Ref path;  // as given (after os.fspath), for the repr
};

PriceTable& state(PyObject* self) noexcept { return py::value_of<PriceTable>(self); }

std::unique_ptr<table::BatchReader> table_reader(PriceTable& t) {
  return std::make_unique<table::PriceTableReader>(t.store, t.options);
}

std::vector<table::Field> table_fields(PriceTable& t) {
  return table::price_table_fields(t.options.depth, t.options.sp);
}

using Arrow = ArrowMethods<PriceTable, table_reader, table_fields>;

PyObject* table_depth(PyObject* self, void*) noexcept {
  return PyLong_FromLong(state(self).options.depth);
}

PyObject* table_every_book(PyObject* self, void*) noexcept {
  return Py_NewRef(state(self).options.every_book ? Py_True : Py_False);
}

PyObject* table_sp(PyObject* self, void*) noexcept {
  return Py_NewRef(state(self).options.sp ? Py_True : Py_False);
}

PyObject* table_repr(PyObject* self) noexcept {
  PriceTable& t = state(self);
  return PyUnicode_FromFormat("<PriceTable of %R, depth=%d, every_book=%s, sp=%s>", t.path.get(),
                              t.options.depth, t.options.every_book ? "True" : "False",
                              t.options.sp ? "True" : "False");
}

py::ClassSpec table_class() {
  return {
      "marrowfin_tools.PriceTable",
      "The price table of a loaded recording, read through the Arrow PyCapsule interface: "
      "pyarrow.table(t), polars.DataFrame(t), or DuckDB's FROM t. Each read folds the "
      "recording anew in record batches.",
      sizeof(py::Object<PriceTable>),
      py::dealloc_instance<PriceTable>,
      {py::read_only("depth", table_depth), py::read_only("every_book", table_every_book),
       py::read_only("sp", table_sp)},
      Arrow::methods,
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
