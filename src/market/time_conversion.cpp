#include "market/time_conversion.hpp"

#include "market/py_convert.hpp"
#include "market/py_strings.hpp"

namespace marrowfin::market {
namespace {

// datetime.datetime as the interpreter has it now. New reference or empty.
py::Ref datetime_class() noexcept {
  py::Ref module = py::Ref::steal(PyImport_Import(strings.datetime));
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
