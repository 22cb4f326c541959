#include "bindings/common/py_type.hpp"

#include <string>
#include <variant>
#include <vector>

#include "bindings/common/errors.hpp"
#include "bindings/common/process.hpp"

namespace marrowfin::py {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return set_no_constructor(type);
}

// Puts the class's attributes into registration order in its dict, where the
// first of them stood (the interpreter adds members before getsets).
int order_attributes(PyTypeObject* type, const std::vector<Attribute>& attributes) noexcept {
  std::vector<const char*> names;
  for (const Attribute& attribute : attributes) {
    names.push_back(std::visit([](const auto& def) { return def.name; }, attribute));
  }
  Ref dict = Ref::steal(PyType_GetDict(type));
  if (!dict) return -1;
  Ref before = Ref::steal(PyDict_Copy(dict.get()));
  if (!before) return -1;
  PyDict_Clear(dict.get());
  bool placed = false;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;    // borrowed
  PyObject* value = nullptr;  // borrowed
  while (PyDict_Next(before.get(), &position, &key, &value)) {
    bool named = false;
    for (const char* name : names) named = named || PyUnicode_CompareWithASCIIString(key, name) == 0;
    if (!named) {
      if (PyDict_SetItem(dict.get(), key, value) < 0) return -1;
    } else if (!placed) {
      placed = true;
      for (const char* name : names) {
        PyObject* attribute = PyDict_GetItemString(before.get(), name);  // borrowed
        if (attribute == nullptr || PyDict_SetItemString(dict.get(), name, attribute) < 0) {
          return -1;
        }
      }
    }
  }
  PyType_Modified(type);
  return 0;
}

}  // namespace

Ref create_class(const ClassSpec& cls) noexcept {
  return Ref::steal(guard([&]() -> PyObject* {
    std::vector<PyType_Slot> slots = {
        {Py_tp_doc, const_cast<char*>(cls.doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(cls.dealloc)},
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    };
    // Getset tables stay referenced by the class for the life of the process;
    // member tables are copied by the interpreter.
    auto* getsets = new std::vector<PyGetSetDef>();
    std::vector<PyMemberDef> members;
    for (const Attribute& attribute : cls.attributes) {
      if (const auto* getset = std::get_if<PyGetSetDef>(&attribute)) {
        getsets->push_back(*getset);
      } else {
        members.push_back(std::get<PyMemberDef>(attribute));
      }
    }
    getsets->push_back({});
    members.push_back({});
    slots.push_back({Py_tp_getset, getsets->data()});
    slots.push_back({Py_tp_members, members.data()});
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
    if (type == nullptr) return panic_from_pending();
    if (members.size() > 1 && getsets->size() > 1 &&
        order_attributes(reinterpret_cast<PyTypeObject*>(type), cls.attributes) < 0) {
      Py_DECREF(type);
      return panic_from_pending();
    }
    return type;
  }));
}

PyTypeObject* shared_class(ClassSpec (*make)()) noexcept {
  return guard([&]() -> PyTypeObject* {
    ClassSpec cls = make();
    std::string key = std::string("marrowfin.class.") + cls.name;
    return reinterpret_cast<PyTypeObject*>(
        shared_object(key.c_str(), [&] { return create_class(cls); }));
  });
}

}  // namespace marrowfin::py
