#include "bindings/common/process.hpp"

#include "bindings/common/errors.hpp"

namespace marrowfin::py {

int claim_interpreter(std::atomic<std::int64_t>& owner, const char* module) noexcept {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return -1;
  std::int64_t expected = -1;
  if (!owner.compare_exchange_strong(expected, id) && expected != id) {
    set_sub_interpreter(module);
    return -1;
  }
  return 0;
}

namespace {

// The interpreter's dict, borrowed, or nullptr with MemoryError set (the
// interpreter makes it on first need).
PyObject* interpreter_dict() noexcept {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  return dict != nullptr ? dict : PyErr_NoMemory();
}

}  // namespace

PyObject* find_shared(const char* key) noexcept {
  PyObject* dict = interpreter_dict();
  if (dict == nullptr) return nullptr;
  Ref name = Ref::steal(PyUnicode_FromString(key));
  if (!name) return nullptr;
  return PyDict_GetItemWithError(dict, name.get());
}

PyObject* keep_shared(const char* key, Ref object) noexcept {
  PyObject* dict = interpreter_dict();
  if (dict == nullptr || PyDict_SetItemString(dict, key, object.get()) < 0) return nullptr;
  return object.get();  // the dict holds a reference now
}

void* shared_storage(const char* key, void* own) noexcept {
  static constexpr const char* kCapsule = "marrowfin.storage";
  PyObject* pending = PyErr_GetRaisedException();
  void* found = own;
  Ref name = Ref::steal(PyUnicode_FromFormat("marrowfin.storage.%s", key));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  PyObject* kept = text == nullptr ? nullptr : shared_object(text, [&] {
    return Ref::steal(PyCapsule_New(own, kCapsule, nullptr));
  });
  if (kept != nullptr && PyCapsule_IsValid(kept, kCapsule)) {
    found = PyCapsule_GetPointer(kept, kCapsule);
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
  return found;
}

}  // namespace marrowfin::py
