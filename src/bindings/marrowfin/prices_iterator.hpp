// PricesIterator: owns the kept messages of one file and the market they build.
#pragma once

#include "bindings/common/compat.hpp"

#include <memory>

#include "bindings/common/py_ref.hpp"
#include "core/load/message_loader.hpp"

namespace marrowfin::bindings {

// Borrowed class object, or nullptr with a panic set.
PyTypeObject* prices_iterator_type() noexcept;

// A new PricesIterator over `store` (new reference), or empty with an error set.
py::Ref make_prices_iterator(std::unique_ptr<load::MessageStore> store) noexcept;

}  // namespace marrowfin::bindings
