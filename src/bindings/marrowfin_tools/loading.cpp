#include "bindings/marrowfin_tools/loading.hpp"

#include <new>

#include "bindings/common/errors.hpp"

namespace marrowfin::tools {

bool set_error_from(std::exception_ptr failure) noexcept {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    py::set_panic(e.what());
  } catch (...) {
    py::set_panic("unknown C++ exception");
  }
  return false;
}

py::Ref fspath_of(PyObject* path, PyObject* (*not_a_path)(PyObject*)) noexcept {
  py::Ref fspath = py::Ref::steal(PyOS_FSPath(path));
  if (!fspath && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    not_a_path(path);
  }
  return fspath;
}

py::Ref path_bytes(PyObject* fspath) noexcept {
  py::Ref bytes = PyBytes_Check(fspath)
                      ? py::Ref::new_ref(fspath)
                      // UnicodeEncodeError passes through
                      : py::Ref::steal(PyUnicode_EncodeFSDefault(fspath));
  if (bytes && bytes_view(bytes.get()).find('\0') != std::string_view::npos) {
    py::set_nul_in_path();
    return {};
  }
  return bytes;
}

}  // namespace marrowfin::tools
