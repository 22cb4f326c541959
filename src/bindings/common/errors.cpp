#include "bindings/common/errors.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bindings/common/process.hpp"
#include "bindings/common/py_ref.hpp"

namespace marrowfin::py {
namespace {

// Found once per module and kept for the life of the process; never a module
// attribute.
PyObject* panic_exception = nullptr;

[[noreturn]] void abort_uncaught() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

// The qualified name of `value`'s type as a new str, or nullptr.
PyObject* type_qualname(PyObject* value) noexcept {
  return PyType_GetQualName(Py_TYPE(value));
}

}  // namespace

int init_panic_exception() noexcept {
  if (panic_exception != nullptr) return 0;
  panic_exception = shared_object("marrowfin.PanicException", [] {
    return Ref::steal(PyErr_NewExceptionWithDoc(
        "marrowfin.PanicException",
        "An internal fault of marrowfin. Derived from BaseException so that "
        "'except Exception' does not swallow it.",
        PyExc_BaseException, nullptr));
  });
  return panic_exception != nullptr ? 0 : -1;
}

PyObject* set_sub_interpreter(const char* module) noexcept {
  PyErr_Format(PyExc_ImportError,
               "%s does not support sub-interpreters: it can only be imported in the "
               "interpreter that imported it first",
               module);
  return nullptr;
}

PyObject* set_all_not_a_list() noexcept {
  PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
  return nullptr;
}

PyObject* set_nul_in_path() noexcept {
  return set_value_error("file name contained an unexpected NUL byte");
}

PyObject* set_not_a_runner_state() noexcept {
  return set_value_error("not a runner table's state");
}

PyObject* set_too_many_positional(Py_ssize_t given) noexcept {
  PyErr_Format(PyExc_TypeError,
               "iter_prices_file() takes 1 positional arguments but %zd were given", given);
  return nullptr;
}

PyObject* set_unexpected_keyword(PyObject* name) noexcept {
  PyErr_Format(PyExc_TypeError, "iter_prices_file() got an unexpected keyword argument '%U'",
               name);
  return nullptr;
}

PyObject* set_multiple_values() noexcept {
  PyErr_SetString(PyExc_TypeError, "iter_prices_file() got multiple values for argument 'path'");
  return nullptr;
}

PyObject* set_missing_path() noexcept {
  PyErr_SetString(PyExc_TypeError,
                  "iter_prices_file() missing 1 required positional argument: 'path'");
  return nullptr;
}

PyObject* set_argument_type(const char* function, const char* argument, const char* expected,
                            PyObject* value) noexcept {
  PyObject* name = type_qualname(value);
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", function, argument,
               expected, name);
  Py_DECREF(name);
  return nullptr;
}

PyObject* set_out_of_range(const char* name, long long low, unsigned long long high,
                           PyObject* value) noexcept {
  PyErr_Format(PyExc_ValueError, "%s must be in %lld..%llu, got %R", name, low, high, value);
  return nullptr;
}

PyObject* set_not_a_choice(const char* name, const char* choices, PyObject* value) noexcept {
  PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, choices, value);
  return nullptr;
}

PyObject* set_path_item_type(const char* function, const char* argument, PyObject* item) noexcept {
  PyObject* name = type_qualname(item);
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must hold str, bytes or os.PathLike, not %U",
               function, argument, name);
  Py_DECREF(name);
  return nullptr;
}

PyObject* set_held_twice(const char* name, PyObject* value) noexcept {
  PyErr_Format(PyExc_ValueError, "%s holds %R twice", name, value);
  return nullptr;
}

PyObject* set_argument_items_type(const char* function, const char* argument, const char* expected,
                                  PyObject* item) noexcept {
  PyObject* name = type_qualname(item);
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must hold %s, not %U", function, argument,
               expected, name);
  Py_DECREF(name);
  return nullptr;
}

PyObject* name_file_in_load_error(std::string_view path) noexcept {
  if (PyErr_Occurred() != PyExc_ValueError) return nullptr;
  Ref error = Ref::steal(PyErr_GetRaisedException());
  Ref text = Ref::steal(PyObject_Str(error.get()));
  if (!text) return nullptr;
  Ref name = Ref::steal(
      PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace"));
  if (!name) return nullptr;
  PyErr_Format(PyExc_ValueError, "%U: %U", name.get(), text.get());
  return nullptr;
}

PyObject* set_requested_schema_type(PyObject* value) noexcept {
  PyObject* name = type_qualname(value);
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError,
               "requested_schema must be None or an 'arrow_schema' PyCapsule, not %U", name);
  Py_DECREF(name);
  return nullptr;
}

PyObject* set_already_borrowed() noexcept {
  PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  return nullptr;
}

PyObject* set_already_mutably_borrowed() noexcept {
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  return nullptr;
}

PyObject* set_no_constructor(PyTypeObject* type) noexcept {
  PyObject* name = PyType_GetName(type);
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
  Py_DECREF(name);
  return nullptr;
}

PyObject* set_cannot_convert(PyObject* value, const char* target) noexcept {
  PyObject* name = type_qualname(value);
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, target);
  Py_DECREF(name);
  return nullptr;
}

PyObject* set_argument_cannot_convert(const char* argument, PyObject* value,
                                      const char* target) noexcept {
  PyObject* name = type_qualname(value);
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'",
               argument, name, target);
  Py_DECREF(name);
  return nullptr;
}

PyObject* set_cannot_delete_attribute() noexcept {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return nullptr;
}

PyObject* set_integer_out_of_range() noexcept {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return nullptr;
}

PyObject* set_argument_error_from_pending(const char* name) noexcept {
  ensure_error_set();
  PyObject* original = PyErr_GetRaisedException();
  PyObject* text = PyObject_Str(original);
  if (text == nullptr) {
    Py_DECREF(original);
    return nullptr;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
  Py_DECREF(text);
  PyObject* wrapped = PyErr_GetRaisedException();
  PyException_SetCause(wrapped, original);  // steals `original`
  PyErr_SetRaisedException(wrapped);
  return nullptr;
}

PyObject* set_key_error(PyObject* key) noexcept {
  // A one-element tuple, so that a tuple key is not taken as the argument list.
  PyObject* args = PyTuple_Pack(1, key);
  if (args == nullptr) return panic_from_pending();
  PyErr_SetObject(PyExc_KeyError, args);
  Py_DECREF(args);
  return nullptr;
}

PyObject* set_os_error(int number) noexcept {
  PyErr_Clear();
  errno = number;
  return PyErr_SetFromErrno(PyExc_OSError);
}

PyObject* set_value_error(std::string_view text) noexcept {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "replace");
  if (message == nullptr) return panic_from_pending();
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
  return nullptr;
}

PyObject* set_panic(std::string_view description) noexcept {
  if (panic_exception == nullptr && init_panic_exception() < 0) abort_uncaught();
  PyObject* message = PyUnicode_DecodeUTF8(
      description.data(), static_cast<Py_ssize_t>(description.size()), "replace");
  if (message == nullptr) abort_uncaught();
  PyErr_SetObject(panic_exception, message);
  Py_DECREF(message);
  return nullptr;
}

PyObject* panic_from_pending() noexcept {
  ensure_error_set();
  PyObject* pending = PyErr_GetRaisedException();
  std::string description = "the interpreter failed to create an object";
  if (PyObject* text = PyObject_Str(pending); text != nullptr) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size); utf8 != nullptr && size > 0) {
      description.append(": ").append(utf8, static_cast<std::size_t>(size));
    }
    Py_DECREF(text);
  }
  PyErr_Clear();
  set_panic(description);
  // Keep the original failure visible as the cause.
  if (pending != nullptr) {
    PyObject* panic = PyErr_GetRaisedException();
    PyException_SetCause(panic, pending);  // steals `pending`
    PyErr_SetRaisedException(panic);
  }
  return nullptr;
}

void ensure_error_set() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

}  // namespace marrowfin::py
