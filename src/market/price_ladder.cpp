#include "market/price_ladder.hpp"
