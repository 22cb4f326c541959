// What the helper's functions share in taking a recording: its path as given
// from Python (the load itself is py::load_file's).
#pragma once

#include "bindings/common/compat.hpp"

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

}  // namespace marrowfin::tools
