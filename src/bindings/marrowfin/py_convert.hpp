// Native values to new Python objects. A failed allocation of such a small
// result object is an internal failure: every function returns a new
// reference, or an empty Ref with the panic exception set.
#pragma once

#include "bindings/common/compat.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/market/records.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/py_ref.hpp"

namespace marrowfin::bindings {

inline py::Ref to_python(bool value) noexcept {
  return py::Ref::new_ref(value ? Py_True : Py_False);
}
inline py::Ref to_python(std::int32_t value) noexcept { return py::must(PyLong_FromLong(value)); }
inline py::Ref to_python(std::int64_t value) noexcept {
  return py::must(PyLong_FromLongLong(value));
}
inline py::Ref to_python(double value) noexcept { return py::must(PyFloat_FromDouble(value)); }
inline py::Ref to_python(const std::string& value) noexcept {
  return py::must(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}
// A stored object (or None when empty): a new reference to the same object.
inline py::Ref to_python(const py::Ref& value) noexcept {
  return py::Ref::new_ref(value ? value.get() : Py_None);
}
template <class T>
py::Ref to_python(const std::optional<T>& value) noexcept {
  return value ? to_python(*value) : py::Ref::new_ref(Py_None);
}
// A starting price: float, str or None.
inline py::Ref to_python(const market::SpValue& value) noexcept {
  if (const double* number = std::get_if<double>(&value)) return to_python(*number);
  if (const std::string* text = std::get_if<std::string>(&value)) return to_python(*text);
  return py::Ref::new_ref(Py_None);
}
// A new list of new str.
inline py::Ref to_python(const std::vector<std::string>& texts) noexcept {
  py::Ref list = py::must(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < texts.size(); ++i) {
    py::Ref text = to_python(texts[i]);
    if (!text) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text.release());
  }
  return list;
}

}  // namespace marrowfin::bindings
