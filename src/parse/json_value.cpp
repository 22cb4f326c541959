#include "parse/json_value.hpp"

#include <array>
#include <cstddef>
#include <cstring>

namespace marrowfin::json {
namespace {

// Indexed by Key; the enum lists the keys in ascending byte order, so sorting
// members by Key sorts them by name.
constexpr std::array<std::string_view, static_cast<std::size_t>(Key::kNone) + 1> kNames = {
    "adjustmentFactor",
    "atb",
    "atl",
    "betDelay",
    "bettingType",
    "bsp",
    "bspMarket",
    "bspReconciled",
    "complete",
    "countryCode",
    "crossMatching",
    "discountAllowed",
    "eachWayDivisor",
    "eventId",
    "eventName",
    "eventTypeId",
    "hc",
    "id",
    "img",
    "inPlay",
    "lastMatchTime",
    "ltp",
    "marketBaseRate",
    "marketDefinition",
    "marketTime",
    "marketType",
    "mc",
    "name",
    "numberOfWinners",
    "openDate",
    "persistenceEnabled",
    "pt",
    "raceType",
    "rc",
    "regulators",
    "removalDate",
    "runners",
    "runnersVoidable",
    "settledTime",
    "sortPriority",
    "spb",
    "spf",
    "spl",
    "spn",
    "status",
    "suspendTime",
    "timezone",
    "trd",
    "turnInPlayEnabled",
    "tv",
    "venue",
    "version",
    "",
};

constexpr std::size_t kMaxNameLength = 18;  // "persistenceEnabled"

// Names up to 8 bytes compare as one little-endian word; longer ones by memcmp
// after a word compare of their first 8 bytes.
constexpr std::uint64_t pack(std::string_view name) noexcept {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < name.size() && i < 8; ++i) {
    word |= static_cast<std::uint64_t>(static_cast<unsigned char>(name[i])) << (8 * i);
  }
  return word;
}

struct Entry {
  std::uint64_t head;  // first 8 bytes, packed
  Key key;
};

// Keys grouped by name length: kByLength[n] holds the keys whose names are n
// bytes long, in a fixed-size row ended by Key::kNone.
constexpr std::size_t kRowSize = 12;
using Row = std::array<Entry, kRowSize>;

constexpr std::array<Row, kMaxNameLength + 1> build_rows() {
  std::array<Row, kMaxNameLength + 1> rows{};
  std::array<std::size_t, kMaxNameLength + 1> used{};
  for (auto& row : rows) {
    for (auto& entry : row) entry = {0, Key::kNone};
  }
  for (std::size_t k = 0; k < static_cast<std::size_t>(Key::kNone); ++k) {
    std::string_view name = kNames[k];
    std::size_t n = name.size();
    // A row that overflows would make this constant expression fail to compile.
    rows[n].at(used[n]++) = {pack(name), static_cast<Key>(k)};
    if (used[n] >= kRowSize) throw "key row too small";
  }
  return rows;
}

constexpr std::array<Row, kMaxNameLength + 1> kByLength = build_rows();

std::uint64_t load_head(const char* chars, std::size_t size) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, chars, size < 8 ? size : 8);  // little-endian, as pack()
  return word;
}

}  // namespace

Key key_from_name(std::string_view name) noexcept {
  std::size_t size = name.size();
  if (size < 2 || size > kMaxNameLength) return Key::kNone;
  std::uint64_t head = load_head(name.data(), size);
  for (const Entry& entry : kByLength[size]) {
    if (entry.key == Key::kNone) break;
    if (entry.head != head) continue;
    if (size <= 8) return entry.key;
    std::string_view candidate = kNames[static_cast<std::size_t>(entry.key)];
    if (std::memcmp(candidate.data() + 8, name.data() + 8, size - 8) == 0) return entry.key;
  }
  return Key::kNone;
}

std::string_view key_name(Key key) noexcept {
  auto index = static_cast<std::size_t>(key);
  return index < kNames.size() ? kNames[index] : std::string_view();
}

}  // namespace marrowfin::json
