// store_recording(path, fd, level): one recording re-encoded as zstd for a
// store, and its catalogue rows, from one load.
#pragma once

#include "bindings/common/compat.hpp"

namespace marrowfin::tools {

// METH_VARARGS | METH_KEYWORDS. A new list of dicts, one per market, or
// nullptr with an error set.
PyObject* store_recording(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace marrowfin::tools
