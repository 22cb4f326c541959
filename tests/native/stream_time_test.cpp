#include "core/market/stream_time.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace marrowfin::market {
namespace {

// Publish times before 1970 never reach Python (the loader drops a time of 0
// or less), so their conversion is checked here: as utcfromtimestamp gives them.
TEST(StreamTime, MillisecondsBefore1970) {
  const struct {
    std::int64_t milliseconds;
    CivilTime expected;
  } cases[] = {
      {-1, {1969, 12, 31, 23, 59, 59, 999000}},
      {-86'400'000, {1969, 12, 31, 0, 0, 0, 0}},
      {-62'135'596'800'000, {1, 1, 1, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(utc_from_milliseconds(c.milliseconds), c.expected) << c.milliseconds;
}

}  // namespace
}  // namespace marrowfin::market
