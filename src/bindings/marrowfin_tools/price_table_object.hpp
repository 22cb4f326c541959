// PriceTable: a loaded recording whose price table any Arrow consumer can
// read through the PyCapsule interface (__arrow_c_stream__, __arrow_c_schema__).
#pragma once

#include "bindings/common/compat.hpp"

#include <memory>

#include "bindings/common/py_ref.hpp"
#include "core/load/message_loader.hpp"
#include "core/table/price_table.hpp"

namespace marrowfin::tools {

// Borrowed class object, or nullptr with a panic set.
PyTypeObject* price_table_type() noexcept;

// A new PriceTable over the loaded `store` (new reference), or empty with an
// error set. `path` (borrowed) is kept for the repr.
py::Ref make_price_table(std::shared_ptr<const load::MessageStore> store,
                           table::TableOptions options, PyObject* path) noexcept;

}  // namespace marrowfin::tools
