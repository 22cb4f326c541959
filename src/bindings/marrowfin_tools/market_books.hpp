// market_books and MarketBooks: the books of every market of several
// recordings, merged by publish time (the core's MergedReplay), built by the
// module's own snapshot code with an object reuse of their own per market.
#pragma once

#include "bindings/common/compat.hpp"

namespace marrowfin::tools {

// Borrowed class object, or nullptr with a panic set.
PyTypeObject* market_books_type() noexcept;

// market_books(paths, *, runner_order="selection", aware=False): loads every
// recording, then returns a new MarketBooks over them (a new reference), or
// nullptr with an error set.
PyObject* market_books(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace marrowfin::tools
