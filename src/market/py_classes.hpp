// The Python classes of a market book. Each accessor returns the class object
// (borrowed; created on first need and kept for the process), or nullptr with
// the panic exception set.
#pragma once

#include <Python.h>

namespace marrowfin::market {

PyTypeObject* market_book_type() noexcept;
PyTypeObject* runner_type() noexcept;
PyTypeObject* exchange_prices_type() noexcept;
PyTypeObject* starting_prices_type() noexcept;
PyTypeObject* price_size_type() noexcept;
PyTypeObject* market_definition_type() noexcept;
PyTypeObject* market_definition_runner_type() noexcept;

}  // namespace marrowfin::market
