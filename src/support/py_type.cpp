#include "support/py_type.hpp"

#include <vector>

#include "support/errors.hpp"

namespace marrowfin::py {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return set_no_constructor(type);
}

}  // namespace

PyTypeObject* create_class(const ClassSpec& spec) noexcept {
  return guard([&]() -> PyTypeObject* {
    std::vector<PyType_Slot> slots = {
        {Py_tp_doc, const_cast<char*>(spec.doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)},
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    };
    if (spec.getset != nullptr) slots.push_back({Py_tp_getset, spec.getset});
    if (spec.methods != nullptr) slots.push_back({Py_tp_methods, spec.methods});
    slots.insert(slots.end(), spec.extra_slots.begin(), spec.extra_slots.end());
    slots.push_back({0, nullptr});
    PyType_Spec type_spec = {
        spec.name,
        static_cast<int>(spec.basic_size),
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
