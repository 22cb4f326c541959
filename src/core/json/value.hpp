// The compact JSON value model that kept stream lines are parsed into.
//
// Values live in an Arena and are immutable once built. Numbers keep their
// kind (exact unsigned, exact negative integer, or double). Object members that
// nothing ever reads are dropped while parsing, so an object holds only members
// whose key is one of the stream keys below; members are sorted by key and a
// repeated key keeps its last value. Ladder arrays ("atb", "atl", "trd", "spb",
// "spl") whose elements are all [number, number] pairs are stored as a packed
// array of Levels.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace marrowfin::json {

// X(Name, text) for every key the market cache or the loader reads, at any
// level of a message, in ascending byte order of the text: members are sorted
// by Key, so that sorts them by name too (checked below). At most 63 keys,
// since members.hpp keeps a set of them in one 64-bit word.
#define MARROWFIN_STREAM_KEYS(X) \
  X(AdjustmentFactor, "adjustmentFactor")     \
  X(Atb, "atb")                               \
  X(Atl, "atl")                               \
  X(Batb, "batb")                             \
  X(Batl, "batl")                             \
  X(Bdatb, "bdatb")                           \
  X(Bdatl, "bdatl")                           \
  X(BetDelay, "betDelay")                     \
  X(BettingType, "bettingType")               \
  X(Bsp, "bsp")                               \
  X(BspMarket, "bspMarket")                   \
  X(BspReconciled, "bspReconciled")           \
  X(Complete, "complete")                     \
  X(CountryCode, "countryCode")               \
  X(CrossMatching, "crossMatching")           \
  X(DiscountAllowed, "discountAllowed")       \
  X(EachWayDivisor, "eachWayDivisor")         \
  X(EventId, "eventId")                       \
  X(EventName, "eventName")                   \
  X(EventTypeId, "eventTypeId")               \
  X(Hc, "hc")                                 \
  X(Id, "id")                                 \
  X(Img, "img")                               \
  X(InPlay, "inPlay")                         \
  X(LastMatchTime, "lastMatchTime")           \
  X(Ltp, "ltp")                               \
  X(MarketBaseRate, "marketBaseRate")         \
  X(MarketDefinition, "marketDefinition")     \
  X(MarketTime, "marketTime")                 \
  X(MarketType, "marketType")                 \
  X(Mc, "mc")                                 \
  X(Name, "name")                             \
  X(NumberOfWinners, "numberOfWinners")       \
  X(OpenDate, "openDate")                     \
  X(PersistenceEnabled, "persistenceEnabled") \
  X(Pt, "pt")                                 \
  X(RaceType, "raceType")                     \
  X(Rc, "rc")                                 \
  X(Regulators, "regulators")                 \
  X(RemovalDate, "removalDate")               \
  X(Runners, "runners")                       \
  X(RunnersVoidable, "runnersVoidable")       \
  X(SettledTime, "settledTime")               \
  X(SortPriority, "sortPriority")             \
  X(Spb, "spb")                               \
  X(Spf, "spf")                               \
  X(Spl, "spl")                               \
  X(Spn, "spn")                               \
  X(Status, "status")                         \
  X(SuspendTime, "suspendTime")               \
  X(Timezone, "timezone")                     \
  X(Trd, "trd")                               \
  X(TurnInPlayEnabled, "turnInPlayEnabled")   \
  X(Tv, "tv")                                 \
  X(Venue, "venue")                           \
  X(Version, "version")

enum class Key : std::uint8_t {
#define MARROWFIN_KEY_ENUMERATOR(name, text) k##name,
  MARROWFIN_STREAM_KEYS(MARROWFIN_KEY_ENUMERATOR)
#undef MARROWFIN_KEY_ENUMERATOR
  kNone,  // not a stream key: array elements and the root carry it
};

// The stream's text of each key, indexed by Key ("" for kNone). Each is a
// literal, so data() is NUL-terminated.
inline constexpr std::array<std::string_view, static_cast<std::size_t>(Key::kNone) + 1>
    kKeyNames = {
#define MARROWFIN_KEY_NAME(name, text) text,
        MARROWFIN_STREAM_KEYS(MARROWFIN_KEY_NAME)
#undef MARROWFIN_KEY_NAME
        "",
};

static_assert(std::ranges::adjacent_find(kKeyNames.begin(), kKeyNames.end() - 1,
                                         std::ranges::greater_equal{}) == kKeyNames.end() - 1,
              "the stream keys must be listed in ascending byte order, each once");

// The Key for a member name, or Key::kNone when nothing reads that name.
Key key_from_name(std::string_view name) noexcept;
// The stream's text of a key ("" for kNone).
constexpr std::string_view key_name(Key key) noexcept {
  auto index = static_cast<std::size_t>(key);
  return index < kKeyNames.size() ? kKeyNames[index] : std::string_view();
}
// True for the keys whose arrays may be packed as Levels.
constexpr bool is_ladder_key(Key key) noexcept {
  return key == Key::kAtb || key == Key::kAtl || key == Key::kTrd || key == Key::kSpb ||
         key == Key::kSpl;
}

enum class Kind : std::uint8_t {
  kNull,
  kFalse,
  kTrue,
  kUint,    // non-negative integer that fits 64 bits unsigned
  kInt,     // negative integer that fits 64 bits signed
  kDouble,  // any other number; "-0" is -0.0
  kString,
  kArray,
  kObject,
  kLevels,  // an array of [price, size] number pairs, packed
};

struct Level {
  double price;
  double size;
};

class Value {
 public:
  // Construction is the parser's business; see the factory functions below.
  Value() noexcept : kind_(Kind::kNull), key_(Key::kNone), size_(0), u_(0) {}

  Kind kind() const noexcept { return kind_; }
  // The member key when this value is an object member, else Key::kNone.
  Key key() const noexcept { return key_; }

  bool is_null() const noexcept { return kind_ == Kind::kNull; }
  bool is_bool() const noexcept { return kind_ == Kind::kTrue || kind_ == Kind::kFalse; }
  bool is_number() const noexcept {
    return kind_ == Kind::kUint || kind_ == Kind::kInt || kind_ == Kind::kDouble;
  }
  bool is_string() const noexcept { return kind_ == Kind::kString; }
  // Packed level arrays are arrays too.
  bool is_array() const noexcept { return kind_ == Kind::kArray || kind_ == Kind::kLevels; }
  bool is_object() const noexcept { return kind_ == Kind::kObject; }

  // The boolean, if this is one.
  std::optional<bool> as_bool() const noexcept {
    if (!is_bool()) return std::nullopt;
    return kind_ == Kind::kTrue;
  }
  // "as integer": an unsigned integer up to 2^63-1 or a negative integer.
  std::optional<std::int64_t> as_integer() const noexcept {
    if (kind_ == Kind::kInt) return i_;
    if (kind_ == Kind::kUint && u_ <= static_cast<std::uint64_t>(INT64_MAX)) {
      return static_cast<std::int64_t>(u_);
    }
    return std::nullopt;
  }
  // The exact value of a non-negative integer (Kind::kUint).
  std::optional<std::uint64_t> as_unsigned() const noexcept {
    if (kind_ != Kind::kUint) return std::nullopt;
    return u_;
  }
  // "as float": any number, integers rounded to the nearest double.
  std::optional<double> as_float() const noexcept {
    switch (kind_) {
      case Kind::kUint: return static_cast<double>(u_);
      case Kind::kInt: return static_cast<double>(i_);
      case Kind::kDouble: return d_;
      default: return std::nullopt;
    }
  }
  std::optional<std::string_view> as_string() const noexcept {
    if (kind_ != Kind::kString) return std::nullopt;
    return std::string_view(s_, size_);
  }

  // Elements of a kArray (empty for anything else, kLevels included).
  std::span<const Value> items() const noexcept {
    if (kind_ != Kind::kArray) return {};
    return {items_, size_};
  }
  // Elements of a kLevels array (empty for anything else).
  std::span<const Level> levels() const noexcept {
    if (kind_ != Kind::kLevels) return {};
    return {levels_, size_};
  }
  // Number of elements of an array (either form) or members of an object.
  std::uint32_t size() const noexcept {
    return (is_array() || is_object()) ? size_ : 0;
  }
  // Members of an object, sorted by key, keys unique (empty for non-objects).
  std::span<const Value> members() const noexcept {
    if (kind_ != Kind::kObject) return {};
    return {items_, size_};
  }
  // The member with `key`, or nullptr when absent or when this is no object.
  const Value* find(Key key) const noexcept;

  // Factories used by the parser and by tests.
  static Value null() noexcept { return Value(); }
  static Value boolean(bool b) noexcept {
    Value v;
    v.kind_ = b ? Kind::kTrue : Kind::kFalse;
    return v;
  }
  static Value uint(std::uint64_t u) noexcept {
    Value v;
    v.kind_ = Kind::kUint;
    v.u_ = u;
    return v;
  }
  static Value negative(std::int64_t i) noexcept {
    Value v;
    v.kind_ = Kind::kInt;
    v.i_ = i;
    return v;
  }
  static Value number(double d) noexcept {
    Value v;
    v.kind_ = Kind::kDouble;
    v.d_ = d;
    return v;
  }
  // `chars` must outlive the value (arena storage).
  static Value string(const char* chars, std::uint32_t size) noexcept {
    Value v;
    v.kind_ = Kind::kString;
    v.size_ = size;
    v.s_ = chars;
    return v;
  }
  static Value array(const Value* items, std::uint32_t size) noexcept {
    Value v;
    v.kind_ = Kind::kArray;
    v.size_ = size;
    v.items_ = items;
    return v;
  }
  // `members` must be sorted by key with unique keys.
  static Value object(const Value* members, std::uint32_t size) noexcept {
    Value v;
    v.kind_ = Kind::kObject;
    v.size_ = size;
    v.items_ = members;
    return v;
  }
  static Value packed_levels(const Level* levels, std::uint32_t size) noexcept {
    Value v;
    v.kind_ = Kind::kLevels;
    v.size_ = size;
    v.levels_ = levels;
    return v;
  }
  Value with_key(Key key) const noexcept {
    Value v = *this;
    v.key_ = key;
    return v;
  }

 private:
  Kind kind_;
  Key key_;
  std::uint32_t size_;
  union {
    std::uint64_t u_;
    std::int64_t i_;
    double d_;
    const char* s_;
    const Value* items_;
    const Level* levels_;
  };
};

static_assert(sizeof(Value) == 16);

// True when `a` and `b` hold the same tree: kinds, member keys, strings and
// elements alike, numbers alike to the bit (so -0.0 is not 0.0).
[[nodiscard]] bool same_value(const Value& a, const Value& b) noexcept;

inline const Value* Value::find(Key key) const noexcept {
  if (kind_ != Kind::kObject) return nullptr;
  const Value* first = items_;
  const Value* last = items_ + size_;
  if (size_ <= 8) {  // members are sorted by key: stop at the first one not below it
    for (const Value* m = first; m != last; ++m) {
      if (m->key_ >= key) return m->key_ == key ? m : nullptr;
    }
    return nullptr;
  }
  while (first < last) {  // binary search on the sorted keys
    const Value* mid = first + (last - first) / 2;
    if (mid->key_ < key) {
      first = mid + 1;
    } else {
      last = mid;
    }
  }
  return (first != items_ + size_ && first->key_ == key) ? first : nullptr;
}

}  // namespace marrowfin::json
