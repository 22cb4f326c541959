#include "core/market/stream_time.hpp"

#include <gtest/gtest.h>

namespace marrowfin::market {
namespace {

// Publish times before 1970 never reach Python (the loader drops a time of 0
// or less), so their conversion is checked here: as utcfromtimestamp gives them.
TEST(StreamTime, MillisecondsBefore1970) {
  EXPECT_EQ(utc_from_milliseconds(-1), (CivilTime{1969, 12, 31, 23, 59, 59, 999000}));
  EXPECT_EQ(utc_from_milliseconds(-86'400'000), (CivilTime{1969, 12, 31, 0, 0, 0, 0}));
  EXPECT_EQ(utc_from_milliseconds(-62'135'596'800'000), (CivilTime{1, 1, 1, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace marrowfin::market
