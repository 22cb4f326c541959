// Every exact error text of both extension modules lives in errors.cpp. Each
// setter sets the Python error and returns nullptr, so a binding can
// `return set_x();`. (The interpreter's own errors, such as PyErr_NoMemory's,
// keep the interpreter's words.)
#pragma once

#include "bindings/common/compat.hpp"

#include <exception>
#include <string_view>
#include <type_traits>

#include "bindings/common/py_ref.hpp"

namespace marrowfin::py {

// Finds or makes the panic exception class, one per process whichever module
// asks first (process.hpp). Returns -1 with an error set.
[[nodiscard]] int init_panic_exception() noexcept;

// ImportError "<module> does not support sub-interpreters: ...".
PyObject* set_sub_interpreter(const char* module) noexcept;
// TypeError "__all__ must be a list".
PyObject* set_all_not_a_list() noexcept;
// ValueError "file name contained an unexpected NUL byte".
PyObject* set_nul_in_path() noexcept;
// ValueError "not a runner table's state" (unpickling a RunnerTable).
PyObject* set_not_a_runner_state() noexcept;

// iter_prices_file's argument errors, in the binding layer's standard words.
PyObject* set_too_many_positional(Py_ssize_t given) noexcept;
PyObject* set_unexpected_keyword(PyObject* name) noexcept;
PyObject* set_multiple_values() noexcept;
PyObject* set_missing_path() noexcept;

// TypeError "<function>() argument '<argument>' must be <expected>, not <qualname>".
PyObject* set_argument_type(const char* function, const char* argument, const char* expected,
                            PyObject* value) noexcept;
// ValueError "<name> must be in <low>..<high>, got <repr of value>".
PyObject* set_out_of_range(const char* name, long long low, unsigned long long high,
                           PyObject* value) noexcept;
// ValueError "<name> must be <choices>, got <repr of value>".
PyObject* set_not_a_choice(const char* name, const char* choices, PyObject* value) noexcept;
// TypeError "<function>() argument '<argument>' must hold str, bytes or
// os.PathLike, not <qualname>": an item of an iterable of paths.
PyObject* set_path_item_type(const char* function, const char* argument, PyObject* item) noexcept;
// Replaces a pending ValueError of exactly that class (a failed load's) by
// ValueError "<path>: <its text>", which names the recording among several;
// any other pending error stays as it is. Returns nullptr.
PyObject* name_file_in_load_error(std::string_view path) noexcept;
// ValueError "<name> holds <repr of value> twice".
PyObject* set_held_twice(const char* name, PyObject* value) noexcept;
// TypeError "<function>() argument '<argument>' must hold <expected>, not <qualname>",
// for an item of an iterable argument.
PyObject* set_argument_items_type(const char* function, const char* argument, const char* expected,
                                  PyObject* item) noexcept;
// TypeError of __arrow_c_stream__ for a requested schema that is no capsule.
PyObject* set_requested_schema_type(PyObject* value) noexcept;

// RuntimeError "Already borrowed": exclusive access refused.
PyObject* set_already_borrowed() noexcept;
// RuntimeError "Already mutably borrowed": shared access refused.
PyObject* set_already_mutably_borrowed() noexcept;
// TypeError "No constructor defined for <type name>".
PyObject* set_no_constructor(PyTypeObject* type) noexcept;
// TypeError "'<qualname of value's type>' object cannot be converted to '<target>'".
PyObject* set_cannot_convert(PyObject* value, const char* target) noexcept;
// TypeError "argument '<name>': '<qualname>' object cannot be converted to '<target>'".
PyObject* set_argument_cannot_convert(const char* name, PyObject* value, const char* target) noexcept;
// AttributeError "can't delete attribute".
PyObject* set_cannot_delete_attribute() noexcept;
// OverflowError "out of range integral type conversion attempted".
PyObject* set_integer_out_of_range() noexcept;
// Replaces the pending TypeError by TypeError "argument '<name>': <its message>"
// with the original as __cause__. Returns nullptr.
PyObject* set_argument_error_from_pending(const char* name) noexcept;
// KeyError whose single argument is `key` (borrowed).
PyObject* set_key_error(PyObject* key) noexcept;
// ValueError whose single argument is `text`.
PyObject* set_value_error(std::string_view text) noexcept;
// OSError of the system's error `number` (errno and its text), in place of
// any pending error.
PyObject* set_os_error(int number) noexcept;
// Raises the module's panic exception (a BaseException subclass) with `description`.
// Aborts the process if even that fails.
PyObject* set_panic(std::string_view description) noexcept;
// Turns the pending error (a failed allocation of a result object) into a panic.
// Sets SystemError first if the API call reported failure without an error.
PyObject* panic_from_pending() noexcept;
// For API calls that reported failure: makes sure an exception is set.
void ensure_error_set() noexcept;

// Result of an object-making call that the interpreter must not fail: a failure
// becomes a panic. Takes over `object` (a new reference, or nullptr with an
// error set); returns it, or an empty Ref with the panic set.
inline Ref must(PyObject* object) noexcept {
  if (object == nullptr) panic_from_pending();
  return Ref::steal(object);
}
inline Ref must(Ref object) noexcept {
  if (!object) panic_from_pending();
  return object;
}

template <class R>
constexpr R failure_value() noexcept {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

// Runs a slot body; no C++ exception crosses into the interpreter: a stray one
// (std::bad_alloc included) becomes the panic exception.
template <class F>
auto guard(F&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return body();
  } catch (const std::exception& error) {
    set_panic(error.what());
  } catch (...) {
    set_panic("unknown C++ exception");
  }
  return failure_value<R>();
}

}  // namespace marrowfin::py
