#include "core/market/stream_time.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace marrowfin::market {
namespace {

TEST(StreamTime, MillisecondsAsUtcfromtimestampGivesThem) {
  const struct {
    std::int64_t milliseconds;
    CivilTime expected;
  } cases[] = {
      {1, {1970, 1, 1, 0, 0, 0, 1000}},
      {1609459200000, {2021, 1, 1, 0, 0, 0, 0}},
      {1700000000123, {2023, 11, 14, 22, 13, 20, 123000}},
      {1709164800000, {2024, 2, 29, 0, 0, 0, 0}},
      {951782400000, {2000, 2, 29, 0, 0, 0, 0}},
      {-1, {1969, 12, 31, 23, 59, 59, 999000}},
      // The seconds pass through a double, which cannot hold the millisecond here.
      {253402300799999, {9999, 12, 31, 23, 59, 59, 998993}},
      {253402300800000, {10000, 1, 1, 0, 0, 0, 0}},
      {std::numeric_limits<std::int64_t>::max(), {292278994, 8, 17, 7, 12, 56, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(utc_from_milliseconds(c.milliseconds), c.expected) << c.milliseconds;
}

TEST(StreamTime, DefinitionTimesInTheirTwoUsualForms) {
  const struct {
    const char* text;
    CivilTime expected;
  } accepted[] = {
      {"2021-03-30T16:20:00.000Z", {2021, 3, 30, 16, 20, 0, 0}},
      {"2021-03-30T16:20:00Z", {2021, 3, 30, 16, 20, 0, 0}},
      {"2021-03-30T16:20:05.1234Z", {2021, 3, 30, 16, 20, 5, 123400}},
      {"2021-03-30T16:20:05.7Z", {2021, 3, 30, 16, 20, 5, 700000}},
      {"2021-03-30T16:20:05.000009Z", {2021, 3, 30, 16, 20, 5, 9}},
      {"2024-02-29T23:59:59Z", {2024, 2, 29, 23, 59, 59, 0}},
      {"0001-01-01T00:00:00Z", {1, 1, 1, 0, 0, 0, 0}},
  };
  for (const auto& c : accepted) EXPECT_EQ(parse_definition_time(c.text), c.expected) << c.text;
  // Left to strptime: its other spellings, and every error in its own words.
  for (const char* text :
       {"", "2021-03-30", "2021-03-30T16:20:00", "2021-03-30T16:20:00.Z", "2021-03-30T16:20:00.1234567Z",
        "2021-03-30t16:20:00Z", "2021-03-30T16:20:00z", "2021-3-30T16:20:00Z", "2021-03-30T16:20:00+00:00",
        " 2021-03-30T16:20:00Z", "2021-03-30T16:20:00Z ", "2023-02-29T00:00:00Z", "2021-04-31T00:00:00Z",
        "2021-13-01T00:00:00Z", "2021-00-01T00:00:00Z", "2021-01-00T00:00:00Z", "0000-01-01T00:00:00Z",
        "2021-01-01T24:00:00Z", "2021-01-01T00:60:00Z", "2021-01-01T00:00:60Z", "2021-01-01T00:00:6aZ",
        "2021-01-01T00:00:00,5Z", "2021-01-01 00:00:00Z"}) {
    EXPECT_EQ(parse_definition_time(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace marrowfin::market
