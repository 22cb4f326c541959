// The Arrow PyCapsule interface of the tables of marrowfin_tools._native:
// the capsules their __arrow_c_stream__ and __arrow_c_schema__ hand out.
#pragma once

#include "bindings/common/compat.hpp"

#include <memory>
#include <span>

#include "core/table/arrow_columns.hpp"
#include "core/table/batch_reader.hpp"

namespace marrowfin::tools {

// The arguments of __arrow_c_stream__(requested_schema=None): false with an
// error set when they are wrong. A requested schema is not looked at (a
// table has one schema), as the interface allows.
[[nodiscard]] bool parse_stream_arguments(PyObject* args, PyObject* kwargs) noexcept;

// A new PyCapsule "arrow_array_stream" of the reader's batches (new
// reference), or nullptr with an error set (the reader is then freed).
PyObject* stream_capsule(std::unique_ptr<table::BatchReader> reader) noexcept;

// A new PyCapsule "arrow_schema" of a struct of `fields` (new reference), or
// nullptr with an error set.
PyObject* schema_capsule(std::span<const table::Field> fields) noexcept;

}  // namespace marrowfin::tools
