// Attribute getters shared by the market-book classes: slots the interpreter
// calls, so each returns a new reference as a bare pointer, or nullptr with an
// error set.
#pragma once

#include "bindings/common/compat.hpp"

#include <type_traits>
#include <utility>

#include "bindings/common/borrow.hpp"
#include "bindings/marrowfin/py_convert.hpp"
#include "bindings/common/py_type.hpp"

namespace marrowfin::bindings {

using py::read_only;
using py::stored_member;

// A field of an immutable class, converted (or a stored object) on each read.
template <class Record, auto Member>
PyObject* get_field(PyObject* self, void*) noexcept {
  return to_python(py::value_of<Record>(self).*Member).release();
}

// A field of a mutable class (a Record with a `borrow` flag), read under a
// shared borrow.
template <class Record, auto Member>
PyObject* get_borrowed_field(PyObject* self, void*) noexcept {
  Record& record = py::value_of<Record>(self);
  py::SharedBorrow borrow(record.borrow);
  if (!borrow) return nullptr;
  return to_python(record.*Member).release();
}

// The attribute `name` of the field `Member` of an immutable class: a stored
// object handed out as it is, any other field converted on each read.
template <class Record, auto Member>
py::Attribute attribute(const char* name) noexcept {
  using Field = std::remove_cvref_t<decltype(std::declval<Record&>().*Member)>;
  if constexpr (std::is_same_v<Field, py::Ref>) {
    return stored_member<Record, Member>(name);
  } else {
    return read_only(name, get_field<Record, Member>);
  }
}

// Attributes kept only for consumers written against richer records.
inline PyObject* get_none(PyObject*, void*) noexcept { return Py_NewRef(Py_None); }
inline PyObject* get_true(PyObject*, void*) noexcept { return Py_NewRef(Py_True); }
inline PyObject* get_empty_list(PyObject*, void*) noexcept {
  return py::must(PyList_New(0)).release();
}

}  // namespace marrowfin::bindings
