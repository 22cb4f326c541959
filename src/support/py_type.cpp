#include "support/py_type.hpp"

#include <vector>

#include "support/errors.hpp"

namespace marrowfin::py {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return set_no_constructor(type);
}

}  // namespace

PyTypeObject* create_class(const ClassSpec& cls) noexcept {
  return guard([&]() -> PyTypeObject* {
    std::vector<PyType_Slot> slots = {
        {Py_tp_doc, const_cast<char*>(cls.doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(cls.dealloc)},
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    };
    if (cls.getset != nullptr) slots.push_back({Py_tp_getset, cls.getset});
    if (cls.methods != nullptr) slots.push_back({Py_tp_methods, cls.methods});
    slots.insert(slots.end(), cls.extra_slots.begin(), cls.extra_slots.end());
    slots.push_back({0, nullptr});
    PyType_Spec type_spec = {
        cls.name,
        static_cast<int>(cls.basic_size),
        0,
        // Not BASETYPE: subclassing fails. Not HAVE_GC: no cyclic collection.
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots.data(),
    };
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) return reinterpret_cast<PyTypeObject*>(panic_from_pending());
    return reinterpret_cast<PyTypeObject*>(type);
  });
}

}  // namespace marrowfin::py
