// Turning the market cache into a MarketBook, handing out again every Python
// object whose piece of state has not changed since it was built.
#pragma once

#include "python/compat.hpp"

#include "core/market/market_cache.hpp"

namespace marrowfin::market {

// A new MarketBook of `cache` (whose reuse slots are updated). Returns a new
// reference, or nullptr with an error set; what was stored in the slots before
// the error stays stored.
PyObject* to_market_book(MarketCache& cache) noexcept;

}  // namespace marrowfin::market
