#include "market/market_cache.hpp"
