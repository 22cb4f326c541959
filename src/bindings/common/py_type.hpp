// Building the module's classes: heap types named "builtins.<Name>" that cannot
// be constructed or subclassed from Python, carry no instance dict and take no
// part in cyclic garbage collection.
#pragma once

#include "bindings/common/compat.hpp"

#include <cstddef>
#include <new>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "bindings/common/process.hpp"
#include "bindings/common/py_ref.hpp"

namespace marrowfin::py {

// One attribute of a class: a getset (a value converted on every read, or a
// constant) or a member (an object the instance holds, handed out as it is;
// the interpreter serves those from its attribute cache without calling into
// the module).
using Attribute = std::variant<PyGetSetDef, PyMemberDef>;

struct ClassSpec {
  const char* name;  // "builtins.<Name>"
  const char* doc;
  Py_ssize_t basic_size;
  destructor dealloc;
  std::vector<Attribute> attributes = {};  // in registration order
  PyMethodDef* methods = nullptr;          // may be null
  std::vector<PyType_Slot> extra_slots = {};  // e.g. Py_tp_repr
};

// Creates the class. Returns a new reference, or an empty Ref with a panic
// set (failing to create a class object is an internal failure).
Ref create_class(const ClassSpec& cls) noexcept;

// The class object of `cls`, one per process (process.hpp): made by
// whichever module asks first, kept for the life of the process. Borrowed,
// or nullptr with an error set (a panic when the class cannot be made).
PyTypeObject* shared_class(ClassSpec (*make)()) noexcept;

// The class object of a ClassSpec-returning function `Make`, looked up once
// per module.
template <ClassSpec (*Make)()>
class ClassHolder {
 public:
  // Borrowed reference, or nullptr with a panic set.
  static PyTypeObject* get() noexcept {
    if (type_ == nullptr) type_ = shared_class(Make);
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

// Instances of the classes that opt in come and go by the thousand in a
// replay; up to kRecycled<T> of their freed blocks are kept for the next
// instances instead of going back to the allocator. Only touched under the GIL.
template <class T>
inline constexpr int kRecycled = 0;

// The blocks are kept once per process (process.hpp): a class is made by
// whichever module comes first, whose deallocation then keeps the blocks, and
// the other module's instances must be made from those.
template <class T>
class FreeBlocks {
 public:
  static void* pop() noexcept {
    Pool& p = pool();
    return p.count > 0 ? p.blocks[--p.count] : nullptr;
  }
  // False when full: the caller frees the block.
  static bool push(void* block) noexcept {
    Pool& p = pool();
    if (p.count == kCapacity) return false;
    p.blocks[p.count++] = block;
    return true;
  }

 private:
  static constexpr int kCapacity = kRecycled<T>;
  struct Pool {
    void* blocks[kCapacity];
    int count = 0;
  };
  static Pool& pool() noexcept {
    // Both modules are built together, so the type's name is one key.
    if (shared_ == nullptr) {
      shared_ = static_cast<Pool*>(shared_storage(typeid(Pool).name(), &own_));
    }
    return *shared_;
  }
  static inline Pool own_;
  static inline Pool* shared_ = nullptr;
};

// A read-only attribute without docstring, converted by `get` on every read.
constexpr PyGetSetDef read_only(const char* name, getter get) noexcept {
  return {name, get, nullptr, nullptr, nullptr};
}

// A read-only attribute that hands out the object the py::Ref field `Field`
// of T holds. The field is never empty while the instance lives (an absent
// value holds None).
template <class T, auto Field>
PyMemberDef stored_member(const char* name) noexcept {
  static_assert(sizeof(Ref) == sizeof(PyObject*) && std::is_standard_layout_v<Ref>);
  // The field's offset within an instance, taken from storage that is never
  // constructed or read.
  alignas(Object<T>) static std::byte storage[sizeof(Object<T>)];
  auto* object = reinterpret_cast<Object<T>*>(storage);
  auto offset = reinterpret_cast<std::byte*>(&(object->value.*Field)) - storage;
  return {name, Py_T_OBJECT_EX, static_cast<Py_ssize_t>(offset), Py_READONLY, nullptr};
}

// Whether make_instance<T, true> may be used now: the header of a new instance
// can be written here as the interpreter writes it (reference count 1, the
// class, a reference to it) in a default build of 3.13 or later while no
// reference tracer has to see each creation. Earlier versions tell
// tracemalloc of every new reference inside PyObject_Init, so they keep it.
// Cheap, but ask once per batch of instances.
inline bool headers_inline() noexcept {
#if defined(Py_GIL_DISABLED) || defined(Py_TRACE_REFS) || defined(Py_REF_DEBUG) || \
    PY_VERSION_HEX < 0x030D0000
  return false;
#else
  void* data = nullptr;
  return PyRefTracer_GetTracer(&data) == nullptr;
#endif
}

// Allocates an instance of a class made by create_class whose value is a T
// constructed from `args`. `Inline` (only where headers_inline() said so)
// writes the header here instead of calling PyObject_Init. Returns a new
// reference, or an empty Ref with MemoryError set.
template <class T, bool Inline = false, class... Args>
Ref make_instance(PyTypeObject* type, Args&&... args) noexcept {
  void* block = nullptr;
  if constexpr (kRecycled<T> > 0) block = FreeBlocks<T>::pop();
  if (block == nullptr) block = PyObject_Malloc(sizeof(Object<T>));
  auto* object = static_cast<Object<T>*>(block);
  if (object == nullptr) return Ref::steal(PyErr_NoMemory());
  new (&object->value) T(std::forward<Args>(args)...);
  auto* instance = reinterpret_cast<PyObject*>(object);
#if !defined(Py_GIL_DISABLED)
  if constexpr (Inline) {
    instance->ob_refcnt = 1;  // as the interpreter does: the block holds no count yet
    Py_SET_TYPE(instance, type);
    Py_INCREF(type);  // every instance holds a reference to its heap class
    return Ref::steal(instance);
  }
#endif
  // Sets the reference count to 1 and holds a reference to the heap type.
  return Ref::steal(PyObject_Init(instance, type));
}

// The deallocation routine for a class whose instances hold a T.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  value_of<T>(self).~T();
  if constexpr (kRecycled<T> > 0) {
    if (!FreeBlocks<T>::push(self)) PyObject_Free(self);
  } else {
    PyObject_Free(self);
  }
  Py_DECREF(type);
}

}  // namespace marrowfin::py
