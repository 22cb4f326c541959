// The C API names that CPython 3.11 lacks and the bindings use, given to it
// here, so that every other binding file is written against 3.12 and later
// and includes this header instead of <Python.h>. Each shim does what the
// later interpreter's function does; names and signatures are the same, so a
// shim goes away with the version that needs it.
#pragma once

// Sizes of "#" formats are Py_ssize_t, as 3.13 always takes them; before it,
// such a format fails without this.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// PyMemberDef and its flags lived in a header of their own, unprefixed.
#include <structmember.h>

#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY

// The pending exception as one object, its traceback attached, and no
// exception pending. New reference, or null when none was pending.
static inline PyObject* PyErr_GetRaisedException() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  // An exception set by type and arguments becomes an instance here, as 3.12
  // makes it when it is set.
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) {
    PyException_SetTraceback(value, traceback);
    Py_DECREF(traceback);
  }
  Py_DECREF(type);
  return value;
}

// Makes `exception` (stolen; an exception instance, or null to clear) the
// pending one, with the traceback it carries.
static inline void PyErr_SetRaisedException(PyObject* exception) noexcept {
  if (exception == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}

// The class's dict. New reference.
static inline PyObject* PyType_GetDict(PyTypeObject* type) noexcept {
  return Py_XNewRef(type->tp_dict);
}
#endif
