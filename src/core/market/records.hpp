// Plain records shared by the market cache and the Python classes that expose
// copies of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/market/definition_fields.hpp"

namespace marrowfin::market {

// One price/size pair of a ladder read-out, price first.
struct PriceSizePair {
  double price;
  double size;
  friend bool operator==(const PriceSizePair&, const PriceSizePair&) = default;
};

// One starting price: none, a number, or a text kept as the stream gave it.
using SpValue = std::variant<std::monostate, double, std::string>;

// One runner as a market definition lists it.
struct MarketDefinitionRunner {
#define MARROWFIN_RUNNER_FIELD(key, member, Type, init) Type member = init;
  MARROWFIN_DEFINITION_RUNNER_FIELDS(MARROWFIN_RUNNER_FIELD)
#undef MARROWFIN_RUNNER_FIELD
};

}  // namespace marrowfin::market
