// The value arena: blocks kept from arena to arena.
#include "core/util/arena.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace marrowfin::util {
namespace {

// The blocks an arena starts from `count` allocations of a whole block, in order.
std::vector<std::byte*> fill(Arena& arena, std::size_t count) {
  std::vector<std::byte*> blocks;
  for (std::size_t i = 0; i < count; ++i) blocks.push_back(arena.allocate<std::byte>(Arena::kBlockSize));
  return blocks;
}

// In the order the last arena filled them: taken in another order, a block
// filled only in part would be filled further, and a worker's memory would
// grow from load to load to every block resident whole. And no more than the
// last arena used: more would stay resident, unused, beside every later load.
TEST(Arena, TheNextArenaTakesTheLastOnesBlocksInOrderAndTheShelfKeepsNoMoreThanItUsed) {
  std::vector<std::byte*> first;
  {
    Arena arena;
    first = fill(arena, 2);
    first.push_back(arena.allocate<std::byte>(100));  // a third block, partly used
  }
  EXPECT_EQ(Arena::shelved_blocks(), 3u);
  {
    Arena next;
    EXPECT_EQ(fill(next, 3), first);
  }
  {
    Arena one;
    EXPECT_EQ(fill(one, 1), std::vector<std::byte*>{first[0]});
  }
  EXPECT_EQ(Arena::shelved_blocks(), 1u);
  { Arena none; }
  EXPECT_EQ(Arena::shelved_blocks(), 1u);  // an arena that used no block changes nothing
}

}  // namespace
}  // namespace marrowfin::util
