#include "market/decimal_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace marrowfin::market {
namespace {

struct Case {
  double value;
  std::string text;
};

class ShortestDecimal : public testing::TestWithParam<Case> {};

TEST_P(ShortestDecimal, WritesPositionalShortestText) {
  EXPECT_EQ(shortest_decimal(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ShortestDecimal,
    testing::Values(Case{1.5, "1.5"}, Case{2.0, "2"}, Case{1.01, "1.01"}, Case{0.0, "0"},
                    Case{-0.0, "-0"}, Case{1e-7, "0.0000001"}, Case{1e21, "1000000000000000000000"},
                    Case{123456.789, "123456.789"}, Case{-2.5e-3, "-0.0025"}, Case{1000.0, "1000"},
                    Case{0.1, "0.1"},
                    Case{1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
                    Case{5e-324, "0." + std::string(323, '0') + "5"},
                    Case{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                    Case{std::numeric_limits<double>::infinity(), "inf"},
                    Case{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(ShortestDecimalRoundTrip, ReadsBackToTheSameDouble) {
  // A spread of magnitudes with awkward digit patterns.
  double value = 1.0 / 3.0;
  for (int i = 0; i < 2000; ++i) {
    value = value * 1.37 + 1e-9 * i;
    if (value > 1e300) value = 1e-300 * (i + 1);
    std::string text = shortest_decimal(value);
    ASSERT_EQ(text.find('e'), std::string::npos) << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
  }
}

}  // namespace
}  // namespace marrowfin::market
