// Plain records shared by the market cache and the Python classes that expose
// copies of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

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
  std::int64_t selection_id = 0;
  std::int32_t sort_priority = 0;
  std::string status = "ACTIVE";
  double handicap = 0.0;
  std::optional<double> adjustment_factor;
  std::optional<double> bsp;
  std::optional<std::string> removal_date;
  std::optional<std::string> name;
};

}  // namespace marrowfin::market
