#include "parse/arena.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace marrowfin::parse {
namespace {

TEST(Arena, AllocationsAreAlignedAndDisjoint) {
  Arena arena;
  auto* a = arena.allocate<char>(3);
  auto* b = arena.allocate<double>(2);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % alignof(double), 0u);
  EXPECT_GE(reinterpret_cast<char*>(b), a + 3);
}

TEST(Arena, LargeRequestGetsItsOwnBlock) {
  Arena arena;
  auto* big = arena.allocate<char>(Arena::kBlockSize * 3);
  std::memset(big, 1, Arena::kBlockSize * 3);
  EXPECT_GE(arena.reserved_bytes(), Arena::kBlockSize * 3);
}

TEST(Arena, RollbackFreesLaterBlocksAndReusesSpace) {
  Arena arena;
  char* first = arena.allocate<char>(16);
  Arena::Mark mark = arena.mark();
  std::size_t reserved = arena.reserved_bytes();
  char* second = arena.allocate<char>(16);
  arena.allocate<char>(Arena::kBlockSize * 2);
  arena.rollback(mark);
  EXPECT_EQ(arena.reserved_bytes(), reserved);
  EXPECT_EQ(arena.allocate<char>(16), second);
  EXPECT_NE(first, second);
}

}  // namespace
}  // namespace marrowfin::parse
