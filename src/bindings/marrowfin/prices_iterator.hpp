// PricesIterator: owns the kept messages of one file and the market they build.
#pragma once

#include "bindings/common/compat.hpp"

#include <memory>

#include "core/load/message_loader.hpp"

namespace marrowfin::bindings {

// Borrowed class object, or nullptr with a panic set.
PyTypeObject* prices_iterator_type() noexcept;

// A new PricesIterator over `store` (new reference), or nullptr with an error set.
PyObject* make_prices_iterator(std::unique_ptr<load::MessageStore> store) noexcept;

}  // namespace marrowfin::bindings
