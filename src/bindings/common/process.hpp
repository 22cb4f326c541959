// What exists once per process. Both extension modules link this library, so
// each has its own copy of every static variable in it; an object that must
// be one (the panic exception, the classes of a market book) is kept in the
// interpreter's own dict instead, where whichever module asks first makes it
// and the other finds it.
#pragma once

#include "bindings/common/compat.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

#include "bindings/common/py_ref.hpp"

namespace marrowfin::py {

// Claims the process for the interpreter importing `module`: the first one to
// import it keeps it, since its objects are kept for the process. `owner`
// starts at -1. Returns -1 with ImportError set in any other interpreter, or
// with the interpreter's error when its id cannot be read.
[[nodiscard]] int claim_interpreter(std::atomic<std::int64_t>& owner, const char* module) noexcept;

// The object kept under `key`: borrowed (the interpreter's dict holds it for
// the interpreter's life), or nullptr, with an error set only on a failure.
PyObject* find_shared(const char* key) noexcept;
// Keeps `object` under `key`. Borrowed, or nullptr with an error set.
PyObject* keep_shared(const char* key, Ref object) noexcept;

// The address kept under `key` (a type's name): of the static storage that
// the first module to ask gave as `own`, so that the copies of a template in
// both modules share one; `own` should the lookup fail. A pending exception
// stays pending.
void* shared_storage(const char* key, void* own) noexcept;

// The object kept under `key`, made by `make()` (a Ref: new, or empty with an
// error set) when no module made it yet. Borrowed, or nullptr with an error set.
template <class Make>
PyObject* shared_object(const char* key, Make&& make) noexcept {
  if (PyObject* found = find_shared(key)) return found;
  if (PyErr_Occurred()) return nullptr;
  Ref made = make();
  if (!made) return nullptr;
  return keep_shared(key, std::move(made));
}

}  // namespace marrowfin::py
