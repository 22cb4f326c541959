// Owned references to Python objects. A new reference crosses a function
// boundary as a Ref; a bare PyObject* always means borrowed, except where the
// interpreter's conventions rule: a function that the interpreter calls (a
// slot, method, getter or module init) returns its new reference bare, and
// the error setters of errors.hpp return a bare nullptr.
#pragma once

#include "bindings/common/compat.hpp"

#include <utility>

namespace marrowfin::py {

// Move-only owner of one strong reference (or of nothing).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = object_;
      object_ = other.object_;
      other.object_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference (which may be null, as API calls return on failure).
  [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference to a borrowed object.
  [[nodiscard]] static Ref new_ref(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  // Borrows: the Ref keeps its reference.
  PyObject* get() const noexcept { return object_; }
  // Hands the reference over to the caller; the Ref becomes empty.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_CLEAR(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace marrowfin::py
