// Turning the market cache into a MarketBook, handing out again every Python
// object whose piece of state has not changed since it was built.
#pragma once

#include "bindings/common/compat.hpp"

#include "bindings/marrowfin/reuse.hpp"
#include "core/market/market_cache.hpp"

namespace marrowfin::bindings {

// A new MarketBook of `cache`, handing out again the objects of `slots` (kept
// beside that cache, and updated) whose state did not change. Returns a new
// reference, or an empty Ref with an error set; what was stored in the slots before
// the error stays stored.
py::Ref to_market_book(market::MarketCache& cache, MarketSlots& slots) noexcept;

}  // namespace marrowfin::bindings
