// What the helper's functions share in taking a recording: its path as given
// from Python (the load itself is py::load_file's), and work on it without
// the interpreter lock.
#pragma once

#include "bindings/common/compat.hpp"

#include <exception>
#include <string_view>

#include "bindings/common/py_ref.hpp"

namespace marrowfin::tools {

// os.fspath(path): a new str or bytes reference, or empty with an error set:
// `not_a_path(path)`'s TypeError when it is neither, nor an os.PathLike.
py::Ref fspath_of(PyObject* path, PyObject* (*not_a_path)(PyObject*)) noexcept;

// The file-system bytes of a str or bytes `fspath`: a new bytes reference, or
// empty with UnicodeEncodeError, or the ValueError of a NUL byte, set.
py::Ref path_bytes(PyObject* fspath) noexcept;

// The bytes of a path_bytes() object (borrowed; valid while it lives).
inline std::string_view bytes_view(PyObject* bytes) noexcept {
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// Sets the Python error for an exception of unlocked work: MemoryError for a
// shortage of memory, the panic for anything else. Returns false.
bool set_error_from(std::exception_ptr failure) noexcept;

// Runs `work`, which touches no Python object, with the interpreter lock
// released, so other threads run meanwhile. No exception leaves it: false
// with the error set (set_error_from) when `work` threw.
template <class F>
[[nodiscard]] bool unlocked(F&& work) noexcept {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  return failure ? set_error_from(failure) : true;
}

}  // namespace marrowfin::tools
