// The value arena: blocks kept from arena to arena.
#include "core/util/arena.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <set>

namespace marrowfin::util {
namespace {

// The blocks an arena starts from `count` allocations of a whole block.
std::set<std::byte*> fill(Arena& arena, std::size_t count) {
  std::set<std::byte*> blocks;
  for (std::size_t i = 0; i < count; ++i) blocks.insert(arena.allocate<std::byte>(Arena::kBlockSize));
  return blocks;
}

TEST(Arena, TheSmallBlocksOfAnArenaServeTheNext) {
  std::set<std::byte*> first;
  {
    Arena arena;
    first = fill(arena, 2);
    arena.allocate<char>(100);  // a third block, partly used
  }
  Arena next;
  std::set<std::byte*> reused = fill(next, 3);
  EXPECT_EQ(reused.size(), 3u);
  std::size_t shared = 0;
  for (std::byte* block : first) shared += reused.count(block);
  EXPECT_EQ(shared, 2u);
}

}  // namespace
}  // namespace marrowfin::util
