#include "python/time_conversion.hpp"

#include "python/py_convert.hpp"
#include "python/py_strings.hpp"

namespace marrowfin::market {
namespace {

// The interpreter's own builtins.__import__, as it was when the module was
// initialised (null if code had replaced it by then). Kept for the process.
PyObject* builtin_import = nullptr;

// The datetime module, imported as the `import` statement imports it: straight
// through the import machinery (which takes it from sys.modules after the first
// import) unless code has replaced builtins.__import__, which is then called.
// New reference or empty.
py::Ref import_datetime() noexcept {
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed, of the running frame
  PyObject* import = builtins != nullptr ? PyDict_GetItemWithError(builtins, strings.dunder_import)
                                         : nullptr;  // borrowed
  if (import != nullptr && import == builtin_import) {
    return py::Ref::steal(
        PyImport_ImportModuleLevelObject(strings.datetime, nullptr, nullptr, nullptr, 0));
  }
  if (PyErr_Occurred()) return {};
  return py::Ref::steal(PyImport_Import(strings.datetime));
}

// datetime.datetime as the interpreter has it now. New reference or empty.
py::Ref datetime_class() noexcept {
  py::Ref module = import_datetime();
  if (!module) return {};
  return py::Ref::steal(PyObject_GetAttr(module.get(), strings.datetime));
}

// cls.<method>(argument[, extra]). New reference or empty.
py::Ref call_class_method(PyObject* cls, PyObject* method, PyObject* argument,
                          PyObject* extra = nullptr) noexcept {
  PyObject* args[] = {cls, argument, extra};
  const std::size_t count = extra != nullptr ? 3 : 2;
  return py::Ref::steal(PyObject_VectorcallMethod(method, args, count, nullptr));
}

}  // namespace

int init_time_conversion() noexcept {
  if (builtin_import != nullptr) return 0;
  py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  py::Ref import = py::Ref::steal(PyObject_GetAttr(builtins.get(), strings.dunder_import));
  if (!import) return -1;
  // Only the C function of the builtins module takes the direct path.
  if (PyCFunction_Check(import.get()) && PyCFunction_GET_SELF(import.get()) == builtins.get()) {
    builtin_import = import.release();
  }
  return 0;
}

py::Ref parse_datetime_or_none(const std::optional<std::string>& text) noexcept {
  if (!text) return py::Ref::new_ref(Py_None);
  py::Ref cls = datetime_class();
  if (!cls) return {};
  py::Ref value = py::Ref::steal(to_python(*text));
  if (!value) return {};
  py::Ref parsed = call_class_method(cls.get(), strings.strptime, value.get(),
                                     strings.fractional_seconds_format);
  if (parsed) return parsed;
  PyErr_Clear();
  return call_class_method(cls.get(), strings.strptime, value.get(), strings.whole_seconds_format);
}

py::Ref publish_time_to_datetime(std::int64_t milliseconds) noexcept {
  py::Ref cls = datetime_class();
  if (!cls) return {};
  py::Ref seconds = py::Ref::steal(to_python(static_cast<double>(milliseconds) / 1000.0));
  if (!seconds) return {};
  return call_class_method(cls.get(), strings.utcfromtimestamp, seconds.get());
}

}  // namespace marrowfin::market
