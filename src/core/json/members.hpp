// How both parsers keep what a line holds, written once: a member whose key
// nothing reads is dropped (key_from_name gives Key::kNone, and its value is
// parsed but not kept), an array under a ladder key (is_ladder_key) is packed
// as Levels while every element is a [number, number] pair, and an object's
// members are sorted by key with the last of a repeated key winning. The
// fuzzer compares the two parsers value by value.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/json/value.hpp"
#include "core/util/arena.hpp"

namespace marrowfin::json {

// Member keys index a 64-bit set.
static_assert(static_cast<unsigned>(Key::kNone) < 64);

// Sorts an object's kept members: distinct() then sort_into() on the same
// members. One pass notes the last place of each key, the keys' set gives the
// order; no comparison sort.
class MemberSorter {
 public:
  // How many distinct keys `members` has.
  std::size_t distinct(std::span<const Value> members) noexcept {
    std::uint64_t keys = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
      auto k = static_cast<unsigned>(members[i].key());
      last_[k] = static_cast<std::uint32_t>(i);
      count += ((keys >> k) & 1) ^ 1;
      keys |= std::uint64_t{1} << k;
    }
    keys_ = keys;
    return count;
  }

  // The last member of each key, in key order, to `out` (room for distinct()).
  void sort_into(std::span<const Value> members, Value* out) const noexcept {
    for (std::uint64_t keys = keys_; keys != 0; keys &= keys - 1) {
      *out++ = members[last_[std::countr_zero(keys)]];
    }
  }

 private:
  std::uint64_t keys_ = 0;
  std::uint32_t last_[64];
};

// A ladder's pairs as one packed value, copied into `arena`.
inline Value pack_levels(std::span<const Level> levels, util::Arena& arena) {
  auto* packed = arena.allocate<Level>(levels.size());
  if (!levels.empty()) std::memcpy(packed, levels.data(), levels.size_bytes());
  return Value::packed_levels(packed, static_cast<std::uint32_t>(levels.size()));
}

}  // namespace marrowfin::json
