#include "market/decimal_text.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace marrowfin::market {
namespace {

TEST(ShortestDecimal, WritesPositionalShortestText) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, std::string> cases[] = {
      {1.5, "1.5"}, {2.0, "2"}, {1.01, "1.01"}, {0.1, "0.1"}, {0.0, "0"}, {-0.0, "-0"},
      {1000.0, "1000"}, {123456.789, "123456.789"}, {-2.5e-3, "-0.0025"}, {1e-7, "0.0000001"},
      {1e21, "1000000000000000000000"},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"}, {kInf, "inf"}, {-kInf, "-inf"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(shortest_decimal(value), text) << text;
}

}  // namespace
}  // namespace marrowfin::market
