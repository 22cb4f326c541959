// marrowfin_tools._native: the companion package's binding over the core:
// price_table and market_books, and their classes.
#include "bindings/common/compat.hpp"

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "core/load/message_loader.hpp"
#include "core/table/price_table.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/load.hpp"
#include "bindings/common/process.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/marrowfin/py_strings.hpp"
#include "bindings/marrowfin/time_conversion.hpp"
#include "bindings/marrowfin_tools/loading.hpp"
#include "bindings/marrowfin_tools/market_books.hpp"
#include "bindings/marrowfin_tools/price_table_object.hpp"

namespace marrowfin::tools {
namespace {

std::atomic<std::int64_t> interpreter_id{-1};
PyObject* module_object = nullptr;  // set once, kept for the process

PyObject* not_a_table_path(PyObject* path) noexcept {
  return py::set_argument_type("price_table", "path", "str, bytes or os.PathLike", path);
}

PyObject* price_table(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    static const char* keywords[] = {"path", "depth", "every_book", nullptr};
    PyObject* path = nullptr;
    PyObject* depth = nullptr;
    PyObject* every_book = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:price_table",
                                     const_cast<char**>(keywords), &path, &depth, &every_book)) {
      return nullptr;
    }
    table::TableOptions options;
    if (depth != nullptr) {
      if (!PyLong_Check(depth) || PyBool_Check(depth)) {
        return py::set_argument_type("price_table", "depth", "int", depth);
      }
      int overflow = 0;
      long value = PyLong_AsLongAndOverflow(depth, &overflow);
      if (value == -1 && PyErr_Occurred()) return nullptr;
      if (overflow != 0 || value < 0 || value > table::kMaxDepth) return py::set_out_of_range("depth", 0, table::kMaxDepth, depth);
      options.depth = static_cast<int>(value);
    }
    if (!PyBool_Check(every_book)) return py::set_argument_type("price_table", "every_book", "bool", every_book);
    options.every_book = every_book == Py_True;

    py::Ref fspath = fspath_of(path, not_a_table_path);
    if (!fspath) return nullptr;
    py::Ref bytes = path_bytes(fspath.get());
    if (!bytes) return nullptr;
    // The load touches no Python object, so other threads run meanwhile.
    std::unique_ptr<load::MessageStore> store = py::load_file(bytes_view(bytes.get()), true);
    if (!store) return nullptr;
    return make_price_table(std::move(store), options, fspath.get()).release();
  });
}

// set_decoded_limit(limit): the decoded-size limit of every load in this
// process (0 for none), returning the one it replaces.
PyObject* set_decoded_limit(PyObject*, PyObject* limit) noexcept {
  return py::guard([&]() -> PyObject* {
    if (!PyLong_Check(limit) || PyBool_Check(limit)) {
      return py::set_argument_type("set_decoded_limit", "limit", "int", limit);
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(limit);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
      PyErr_Clear();
      return py::set_out_of_range("limit", 0, std::numeric_limits<std::uint64_t>::max(), limit);
    }
    std::uint64_t previous = py::decoded_limit();
    if (py::set_decoded_limit(value) < 0) return nullptr;
    return PyLong_FromUnsignedLongLong(previous);
  });
}

PyMethodDef module_methods[] = {
    {"price_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(price_table)),
     METH_VARARGS | METH_KEYWORDS,
     "price_table(path, depth=3, every_book=False)\n--\n\n"
     "Loads a recording; its price table is read through the Arrow PyCapsule interface."},
    {"set_decoded_limit", set_decoded_limit, METH_O,
     "set_decoded_limit(limit, /)\n--\n\n"
     "Sets the most bytes a recording may decode to in any load of this process (0 for no "
     "limit); returns the limit it replaces."},
    {"market_books", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(market_books)),
     METH_VARARGS | METH_KEYWORDS,
     "market_books(paths, *, runner_order='selection', aware=False)\n--\n\n"
     "Loads every recording of paths; the books of all their markets, merged by publish time."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "marrowfin_tools._native",
    "The native helper of marrowfin_tools: price tables and merged replays.",
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() noexcept {
  // The class object is kept for the process, so one interpreter only.
  if (py::claim_interpreter(interpreter_id, "marrowfin_tools._native") < 0) return nullptr;
  if (module_object != nullptr) return Py_NewRef(module_object);
  if (py::init_panic_exception() < 0) return nullptr;
  // This module's own copy of the book-building code needs them as the module's does.
  if (bindings::init_strings() < 0 || bindings::init_time_conversion() < 0) return nullptr;
  py::Ref module = py::Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) return nullptr;
  const std::pair<const char*, PyTypeObject* (*)() noexcept> classes[] = {
      {"PriceTable", price_table_type}, {"MarketBooks", market_books_type}};
  for (auto [name, make] : classes) {
    PyTypeObject* type = make();
    if (type == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), name, reinterpret_cast<PyObject*>(type)) < 0) {
      return nullptr;
    }
  }
  module_object = module.release();
  return Py_NewRef(module_object);
}

}  // namespace
}  // namespace marrowfin::tools

PyMODINIT_FUNC PyInit__native() {
  return marrowfin::py::guard([] { return marrowfin::tools::init_module(); });
}
