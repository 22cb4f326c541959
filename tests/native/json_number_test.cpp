#include "parse/json_number.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

namespace marrowfin::json {
namespace {

// The quick path must round exactly as a full conversion does.
TEST(ParseNumber, DecimalsRoundLikeAFullConversion) {
  std::mt19937_64 random(12345);
  for (int n = 0; n < 200000; ++n) {
    std::string text = random() % 4 == 0 ? "-" : "";
    int digits = 1 + static_cast<int>(random() % 21);
    int point = static_cast<int>(random() % static_cast<unsigned>(digits + 1));
    text += static_cast<char>('1' + random() % 9);
    for (int i = 1; i < digits; ++i) {
      if (i == point) text += '.';
      text += static_cast<char>('0' + random() % 10);
    }
    if (random() % 2 == 0) text += "e" + std::to_string(static_cast<int>(random() % 61) - 30);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    double expected = 0;
    std::from_chars(text.data(), text.data() + text.size(), expected);
    Value value;
    ASSERT_TRUE(parse_number(text.data(), text.size(), value)) << text;
    ASSERT_EQ(value.kind(), Kind::kDouble) << text;
    double got = *value.as_float();
    ASSERT_EQ(std::memcmp(&got, &expected, sizeof expected), 0) << text;
  }
}

TEST(ParseNumber, IntegersStayExactWhereTheyFit) {
  struct Case {
    const char* text;
    Kind kind;
    double as_double;
  };
  const Case cases[] = {
      {"0", Kind::kUint, 0.0},
      {"-0", Kind::kDouble, -0.0},
      {"9223372036854775808", Kind::kUint, 9223372036854775808.0},
      {"-9223372036854775808", Kind::kInt, -9223372036854775808.0},
      {"-9223372036854775809", Kind::kDouble, -9223372036854775808.0},
      {"18446744073709551615", Kind::kUint, 18446744073709551616.0},
      {"18446744073709551616", Kind::kDouble, 18446744073709551616.0},
      {"99999999999999999999", Kind::kDouble, 1e20},
      {"1e400", Kind::kDouble, 0.0},  // overflow: reported, see below
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Value value;
    bool ok = parse_number(c.text, std::strlen(c.text), value);
    if (std::strcmp(c.text, "1e400") == 0) {
      EXPECT_FALSE(ok);
      continue;
    }
    ASSERT_TRUE(ok);
    EXPECT_EQ(value.kind(), c.kind);
    EXPECT_EQ(*value.as_float(), c.as_double);
    EXPECT_EQ(std::signbit(*value.as_float()), std::signbit(c.as_double));
  }
  Value max;
  ASSERT_TRUE(parse_number("18446744073709551615", 20, max));
  EXPECT_EQ(max.as_unsigned(), 18446744073709551615ULL);
}

TEST(ParseNumber, OverflowFailsAndUnderflowGivesSignedZero) {
  const char* overflows[] = {"1.8e308", "-1.8e308", "17976931348623159e292",
                             "0.00000000000000000000000000000000000000001e350"};
  for (const char* text : overflows) {
    Value value;
    EXPECT_FALSE(parse_number(text, std::strlen(text), value)) << text;
  }
  const char* underflows[] = {"1e-400", "-1e-400", "0.0000000001e-330",
                              "1000000000000000000000000e-350"};
  for (const char* text : underflows) {
    Value value;
    ASSERT_TRUE(parse_number(text, std::strlen(text), value)) << text;
    EXPECT_EQ(*value.as_float(), 0.0) << text;
    EXPECT_EQ(std::signbit(*value.as_float()), text[0] == '-') << text;
  }
}

}  // namespace
}  // namespace marrowfin::json
