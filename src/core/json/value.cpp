#include "core/json/value.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

namespace marrowfin::json {
namespace {

constexpr std::size_t kMaxNameLength =
    std::ranges::max(kKeyNames, {}, [](std::string_view name) { return name.size(); }).size();

// A name of 2 to 16 bytes is told apart by two words that together cover all
// its bytes (they overlap for names under 16 bytes): loads of 2, 4 or 8
// bytes from its start and from its end. Longer names compare the rest too.
template <class Word>
constexpr Word load_word(const char* p) noexcept {
  Word word = 0;
  for (std::size_t i = 0; i < sizeof(Word); ++i) {
    word |= static_cast<Word>(static_cast<Word>(static_cast<unsigned char>(p[i])) << (8 * i));
  }
  return word;
}

struct Words {
  std::uint64_t head;
  std::uint64_t tail;
};

constexpr Words name_words(const char* p, std::size_t n) noexcept {
  if (n >= 8) return {load_word<std::uint64_t>(p), load_word<std::uint64_t>(p + n - 8)};
  if (n >= 4) return {load_word<std::uint32_t>(p), load_word<std::uint32_t>(p + n - 4)};
  return {load_word<std::uint16_t>(p), load_word<std::uint16_t>(p + n - 2)};
}

// The same words with plain loads, for the parser's hot path.
template <class Word>
Word load_fast(const char* p) noexcept {
  Word word;
  std::memcpy(&word, p, sizeof word);  // the encoding is little-endian, as above
  return word;
}

Words name_words_fast(const char* p, std::size_t n) noexcept {
  if (n >= 8) return {load_fast<std::uint64_t>(p), load_fast<std::uint64_t>(p + n - 8)};
  if (n >= 4) return {load_fast<std::uint32_t>(p), load_fast<std::uint32_t>(p + n - 4)};
  return {load_fast<std::uint16_t>(p), load_fast<std::uint16_t>(p + n - 2)};
}

constexpr std::size_t kSlotBits = 8;

constexpr std::size_t slot_of(Words words, std::size_t n, std::uint64_t multiplier) noexcept {
  std::uint64_t mixed = (words.head ^ (words.tail << 1) ^ n) * multiplier;
  return static_cast<std::size_t>(mixed >> (64 - kSlotBits));
}

struct Slot {
  Words words;
  std::uint8_t size;  // 0: empty
  Key key;
};

struct Table {
  std::uint64_t multiplier;
  std::array<Slot, std::size_t{1} << kSlotBits> slots;
};

// A perfect hash of the key names, found at compile time.
constexpr Table build_table() {
  for (std::uint64_t multiplier = 0x9E3779B97F4A7C15ULL;; multiplier += 0x2545F4914F6CDD1EULL) {
    Table table{multiplier | 1, {}};
    bool collided = false;
    for (std::size_t k = 0; k < static_cast<std::size_t>(Key::kNone) && !collided; ++k) {
      std::string_view name = kKeyNames[k];
      Words words = name_words(name.data(), name.size());
      Slot& slot = table.slots[slot_of(words, name.size(), table.multiplier)];
      collided = slot.size != 0;
      slot = {words, static_cast<std::uint8_t>(name.size()), static_cast<Key>(k)};
    }
    if (!collided) return table;
  }
}

constexpr Table kTable = build_table();

}  // namespace

Key key_from_name(std::string_view name) noexcept {
  std::size_t size = name.size();
  if (size < 2 || size > kMaxNameLength) return Key::kNone;
  Words words = name_words_fast(name.data(), size);
  const Slot& slot = kTable.slots[slot_of(words, size, kTable.multiplier)];
  if (slot.size != size || slot.words.head != words.head || slot.words.tail != words.tail) {
    return Key::kNone;
  }
  if (size > 16 &&
      std::memcmp(name.data() + 8, kKeyNames[static_cast<std::size_t>(slot.key)].data() + 8,
                  size - 16) != 0) {
    return Key::kNone;
  }
  return slot.key;
}

bool same_value(const Value& a, const Value& b) noexcept {
  if (a.kind() != b.kind() || a.key() != b.key() || a.size() != b.size()) return false;
  switch (a.kind()) {
    case Kind::kNull:
    case Kind::kFalse:
    case Kind::kTrue:
      return true;
    case Kind::kUint:
    case Kind::kInt:
      return a.as_integer() == b.as_integer() && a.as_unsigned() == b.as_unsigned();
    case Kind::kDouble:
      return std::bit_cast<std::uint64_t>(*a.as_float()) ==
             std::bit_cast<std::uint64_t>(*b.as_float());
    case Kind::kString:
      return a.as_string() == b.as_string();
    case Kind::kArray:
    case Kind::kObject: {
      std::span<const Value> x = a.kind() == Kind::kArray ? a.items() : a.members();
      std::span<const Value> y = b.kind() == Kind::kArray ? b.items() : b.members();
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same_value(x[i], y[i])) return false;
      }
      return true;
    }
    case Kind::kLevels:
      for (std::size_t i = 0; i < a.levels().size(); ++i) {
        const Level& p = a.levels()[i];
        const Level& q = b.levels()[i];
        if (std::bit_cast<std::uint64_t>(p.price) != std::bit_cast<std::uint64_t>(q.price) ||
            std::bit_cast<std::uint64_t>(p.size) != std::bit_cast<std::uint64_t>(q.size)) {
          return false;
        }
      }
      return true;
  }
  return false;
}

}  // namespace marrowfin::json
