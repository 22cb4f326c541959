// Module initialisation: one module object per process, the function
// iter_prices_file and the eight classes.
#include "bindings/common/compat.hpp"

#include <atomic>
#include <string_view>

#include "core/market/records.hpp"
#include "core/load/message_loader.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/load.hpp"
#include "bindings/common/process.hpp"
#include "bindings/marrowfin/prices_iterator.hpp"
#include "bindings/marrowfin/py_classes.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/marrowfin/py_strings.hpp"
#include "bindings/marrowfin/time_conversion.hpp"

namespace marrowfin::bindings {
namespace {

std::atomic<std::int64_t> interpreter_id{-1};
PyObject* module_object = nullptr;  // set once, kept for the process

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "marrowfin",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Finds the `path` argument. Returns a borrowed object, or nullptr with TypeError set.
PyObject* path_argument(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  if (positional > 1) return py::set_too_many_positional(positional);
  PyObject* path = positional == 1 ? args[0] : nullptr;
  Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_CompareWithASCIIString(name, "path") != 0) return py::set_unexpected_keyword(name);
    if (path != nullptr) return py::set_multiple_values();
    path = args[positional + i];
  }
  if (path == nullptr) return py::set_missing_path();
  return path;
}

PyObject* iter_prices_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    PyObject* path = path_argument(args, nargsf, kwnames);
    if (path == nullptr) return nullptr;
    if (!PyUnicode_Check(path)) return py::set_argument_cannot_convert("path", path, "PyString");
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(path, &size);  // UnicodeEncodeError passes through
    if (bytes == nullptr) return nullptr;
    std::string_view path_bytes(bytes, static_cast<std::size_t>(size));
    if (path_bytes.find('\0') != std::string_view::npos) {
      return py::set_nul_in_path();
    }
    // The module's contract keeps the load under the interpreter lock.
    std::unique_ptr<load::MessageStore> store = py::load_file(path_bytes, false);
    if (!store) return nullptr;
    return make_prices_iterator(std::move(store)).release();
  });
}

// Allocated once; the function object refers to it for the life of the process.
PyMethodDef iter_prices_file_def = {
    "iter_prices_file",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_prices_file)),
    METH_FASTCALL | METH_KEYWORDS,
    "iter_prices_file(path)\n--\n\n",
};

// Appends `name` to the module's __all__ (created when missing) and sets the attribute.
int add_to_module(PyObject* module, PyObject* name, PyObject* object) noexcept {
  py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = py::Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    py::set_all_not_a_list();
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) return -1;
  return PyObject_SetAttr(module, name, object);
}

int add_class(PyObject* module, PyTypeObject* type) noexcept {
  if (type == nullptr) return -1;
  py::Ref name = py::Ref::steal(PyType_GetName(type));
  if (!name) return -1;
  return add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type));
}

int init_body(PyObject* module) noexcept {
  if (py::init_panic_exception() < 0) return -1;
  if (init_strings() < 0) return -1;
  if (init_time_conversion() < 0) return -1;
  py::Ref module_name = py::Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  py::Ref function =
      py::Ref::steal(PyCMethod_New(&iter_prices_file_def, module, module_name.get(), nullptr));
  if (!function) return -1;
  py::Ref function_name = py::Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) return -1;
  if (!PyUnicode_Check(function_name.get())) {
    py::set_cannot_convert(function_name.get(), "PyString");
    return -1;
  }
  if (add_to_module(module, function_name.get(), function.get()) < 0) return -1;
  PyTypeObject* (*const classes[])() noexcept = {
      prices_iterator_type,          market_book_type,
      runner_type,           exchange_prices_type,
      starting_prices_type,  price_size_type,
      market_definition_type, market_definition_runner_type,
  };
  for (auto make : classes) {
    if (add_class(module, make()) < 0) return -1;
  }
  return 0;
}

PyObject* init_module() noexcept {
  if (py::claim_interpreter(interpreter_id, "marrowfin") < 0) return nullptr;
  if (module_object != nullptr) return Py_NewRef(module_object);
  py::Ref module = py::Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) return nullptr;
  if (init_body(module.get()) < 0) return nullptr;
  module_object = module.release();
  return Py_NewRef(module_object);
}

}  // namespace
}  // namespace marrowfin::bindings

PyMODINIT_FUNC PyInit_marrowfin() {
  return marrowfin::py::guard([] { return marrowfin::bindings::init_module(); });
}
