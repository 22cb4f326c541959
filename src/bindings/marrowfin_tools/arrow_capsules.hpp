// The Arrow PyCapsule interface of the tables of marrowfin_tools._native:
// the capsules their __arrow_c_stream__ and __arrow_c_schema__ hand out.
#pragma once

#include "bindings/common/compat.hpp"

#include <memory>
#include <span>

#include "bindings/common/errors.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/common/py_type.hpp"
#include "core/table/arrow_columns.hpp"
#include "core/table/batch_reader.hpp"

namespace marrowfin::tools {

// The arguments of __arrow_c_stream__(requested_schema=None): false with an
// error set when they are wrong. A requested schema is not looked at (a
// table has one schema), as the interface allows.
[[nodiscard]] bool parse_stream_arguments(PyObject* args, PyObject* kwargs) noexcept;

// A new PyCapsule "arrow_array_stream" of the reader's batches (new
// reference), or empty with an error set (the reader is then freed).
py::Ref stream_capsule(std::unique_ptr<table::BatchReader> reader) noexcept;

// A new PyCapsule "arrow_schema" of a struct of `fields` (new reference), or
// empty with an error set.
py::Ref schema_capsule(std::span<const table::Field> fields) noexcept;

// The interface's two methods for a class whose instances hold a T:
// `Reader(T&)` makes a new reader of the table's batches (a stream folds the
// recordings anew), `Fields(T&)` gives the fields of its schema.
template <class T, auto Reader, auto Fields>
struct ArrowMethods {
  // __arrow_c_stream__(requested_schema=None)
  static PyObject* stream(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return py::guard([&]() -> PyObject* {
      if (!parse_stream_arguments(args, kwargs)) return nullptr;
      return stream_capsule(Reader(py::value_of<T>(self))).release();
    });
  }
  // __arrow_c_schema__()
  static PyObject* schema(PyObject* self, PyObject*) noexcept {
    return py::guard(
        [&]() -> PyObject* { return schema_capsule(Fields(py::value_of<T>(self))).release(); });
  }
  static inline PyMethodDef methods[] = {
      {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream)),
       METH_VARARGS | METH_KEYWORDS,
       "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
       "A new PyCapsule 'arrow_array_stream' of the table's record batches."},
      {"__arrow_c_schema__", schema, METH_NOARGS,
       "__arrow_c_schema__($self, /)\n--\n\nA new PyCapsule 'arrow_schema' of the table's schema."},
      {nullptr, nullptr, 0, nullptr},
  };
};

}  // namespace marrowfin::tools
