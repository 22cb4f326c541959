// What one load leaves for the next.
#include "core/util/shelf.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace marrowfin::util {
namespace {

TEST(Shelf, TheNewestIsTakenFirstAndAFullShelfLetsTheOldestGo) {
  using Two = Shelf<std::unique_ptr<int>, 2>;
  for (int i = 1; i <= 3; ++i) {
    auto thing = std::make_unique<int>(i);
    Two::get().leave(thing);
    EXPECT_EQ(thing, nullptr);
  }
  std::unique_ptr<int> newest = Two::get().take(), next = Two::get().take();
  ASSERT_TRUE(newest && next);
  EXPECT_EQ(*newest, 3);
  EXPECT_EQ(*next, 2);
  EXPECT_EQ(Two::get().take(), nullptr);
}

}  // namespace
}  // namespace marrowfin::util
