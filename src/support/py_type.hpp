// Building the module's classes: heap types named "builtins.<Name>" that cannot
// be constructed or subclassed from Python, carry no instance dict and take no
// part in cyclic garbage collection.
#pragma once

#include <Python.h>

#include <new>
#include <utility>
#include <vector>

namespace marrowfin::py {

struct ClassSpec {
  const char* name;  // "builtins.<Name>"
  const char* doc;
  Py_ssize_t basic_size;
  destructor dealloc;
  PyGetSetDef* getset = nullptr;       // may be null
  PyMethodDef* methods = nullptr;      // may be null
  std::vector<PyType_Slot> extra_slots = {};  // e.g. Py_tp_repr
};

// Creates the class. Returns a new reference, or nullptr with a panic set
// (failing to create a class object is an internal failure).
PyTypeObject* create_class(const ClassSpec& cls) noexcept;

// A class object created on first need and kept for the life of the process.
// `Make` is a function returning a ClassSpec.
template <ClassSpec (*Make)()>
class ClassHolder {
 public:
  // Borrowed reference, or nullptr with a panic set.
  static PyTypeObject* get() noexcept {
    if (type_ == nullptr) type_ = create_class(Make());
    return type_;
  }

 private:
  static inline PyTypeObject* type_ = nullptr;
};

// The layout of every instance: the object header, then the C++ value.
template <class T>
struct Object {
  PyObject_HEAD
  T value;
};

// The C++ value of an instance (borrowed object of the right class).
template <class T>
T& value_of(PyObject* self) noexcept {
  return reinterpret_cast<Object<T>*>(self)->value;
}

// Allocates an instance of a class made by create_class whose value is a T
// constructed from `args`. Returns a new reference, or nullptr with MemoryError set.
template <class T, class... Args>
PyObject* make_instance(PyTypeObject* type, Args&&... args) noexcept {
  auto* object = static_cast<Object<T>*>(PyObject_Malloc(sizeof(Object<T>)));
  if (object == nullptr) return PyErr_NoMemory();
  new (&object->value) T(std::forward<Args>(args)...);
  // Sets the reference count to 1 and holds a reference to the heap type.
  return PyObject_Init(reinterpret_cast<PyObject*>(object), type);
}

// The deallocation routine for a class whose instances hold a T.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  value_of<T>(self).~T();
  PyObject_Free(self);
  Py_DECREF(type);
}

}  // namespace marrowfin::py
