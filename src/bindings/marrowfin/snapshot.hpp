// Turning the market cache into a MarketBook, handing out again every Python
// object whose piece of state has not changed since it was built.
#pragma once

#include "bindings/common/compat.hpp"

#include "bindings/marrowfin/reuse.hpp"
#include "core/market/market_cache.hpp"

namespace marrowfin::bindings {

// How a book shows what the cache holds. The defaults are the module's own
// books; a MarketSlots must always be used with the same options.
struct BookOptions {
  // Runners in the order they were made (MarketCache::runners_as_made, the
  // pure-Python peer's order) rather than in key order.
  bool runners_as_made = false;
  // The publish time and the definition's times as aware datetimes in UTC.
  bool aware = false;
};

// A new MarketBook of `cache`, handing out again the objects of `slots` (kept
// beside that cache, and updated) whose state did not change. Returns a new
// reference, or an empty Ref with an error set; what was stored in the slots before
// the error stays stored.
py::Ref to_market_book(market::MarketCache& cache, MarketSlots& slots,
                       const BookOptions& options = {}) noexcept;

}  // namespace marrowfin::bindings
