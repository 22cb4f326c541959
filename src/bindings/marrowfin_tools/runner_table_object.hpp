// RunnerTable: the runner table of some recordings, which any Arrow consumer
// can read through the PyCapsule interface (__arrow_c_stream__,
// __arrow_c_schema__).
#pragma once

#include "bindings/common/compat.hpp"

#include <memory>

#include "bindings/common/py_ref.hpp"
#include "core/table/runner_table.hpp"

namespace marrowfin::tools {

// Borrowed class object, or nullptr with a panic set.
PyTypeObject* runner_table_type() noexcept;

// A new RunnerTable over the finished `rows` (new reference), or empty with
// an error set. `before` (borrowed) is the tuple of its seconds.
py::Ref make_runner_table(std::shared_ptr<const table::RunnerRows> rows, PyObject* before) noexcept;

// _runner_table_from_state(state): the RunnerTable that a RunnerTable's
// __reduce__ gave `state` (bytes) for, so that the table pickles. A new
// reference, or nullptr with an error set.
PyObject* runner_table_from_state(PyObject* module, PyObject* state) noexcept;

}  // namespace marrowfin::tools
