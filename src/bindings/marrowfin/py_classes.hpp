// The Python classes of a market book. Each accessor returns the class object
// (borrowed; created on first need and kept for the process), or nullptr with
// the panic exception set. The make_* functions are the only way instances
// come into being; Python code cannot construct them.
#pragma once

#include "bindings/common/compat.hpp"

#include <span>

#include "core/market/records.hpp"
#include "bindings/marrowfin/py_records.hpp"
#include "bindings/common/py_ref.hpp"

namespace marrowfin::bindings {

PyTypeObject* market_book_type() noexcept;
PyTypeObject* runner_type() noexcept;
PyTypeObject* exchange_prices_type() noexcept;
PyTypeObject* starting_prices_type() noexcept;
PyTypeObject* price_size_type() noexcept;
PyTypeObject* market_definition_type() noexcept;
PyTypeObject* market_definition_runner_type() noexcept;

// A new list of new PriceSize objects, one per pair, in order. New reference,
// or empty with the panic set (allocation failures here are faults).
py::Ref create_price_list(std::span<const market::PriceSizePair> pairs) noexcept;

// The make_* functions take over the records' references. Each returns a new
// reference, or empty with the interpreter's error (MemoryError) or a panic set.
py::Ref make_exchange_prices(py::Ref back, py::Ref lay, py::Ref traded) noexcept;
// Copies `record`; a failure is a panic.
py::Ref make_market_definition_runner(const market::MarketDefinitionRunner& record) noexcept;
py::Ref make_market_definition(MarketDefinitionRecord&& record) noexcept;
// The new_* functions return an instance with a default record, which the
// caller fills in place before anything else sees the object (its stored
// attributes must hold objects by then). New reference, or empty with
// MemoryError or a panic set.
py::Ref new_runner() noexcept;
py::Ref new_market_book() noexcept;

// MarketBook.to_dict: a new dict (new reference) of `book` (borrowed
// MarketBook), or empty with an error set.
py::Ref market_book_to_dict(PyObject* book) noexcept;

}  // namespace marrowfin::bindings
