// Every exact error text of the Python surface lives in errors.cpp. Each setter
// sets the Python error and returns nullptr, so a binding can `return set_x();`.
#pragma once

#include "bindings/common/compat.hpp"

#include <exception>
#include <string_view>
#include <type_traits>

namespace marrowfin::py {

// Creates the panic exception class once per process. Returns -1 with an error set.
[[nodiscard]] int init_panic_exception() noexcept;

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
// Raises the module's panic exception (a BaseException subclass) with `description`.
// Aborts the process if even that fails.
PyObject* set_panic(std::string_view description) noexcept;
// Turns the pending error (a failed allocation of a result object) into a panic.
// Sets SystemError first if the API call reported failure without an error.
PyObject* panic_from_pending() noexcept;
// For API calls that reported failure: makes sure an exception is set.
void ensure_error_set() noexcept;

// Result of an object-making call that the interpreter must not fail: a failure
// becomes a panic. Returns `object` (a new reference, or nullptr with the panic set).
inline PyObject* must(PyObject* object) noexcept {
  return object != nullptr ? object : panic_from_pending();
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
