#include "parse/json_value.hpp"

#include <gtest/gtest.h>

#include <string>

namespace marrowfin::json {
namespace {

constexpr auto kKeyCount = static_cast<int>(Key::kNone);

TEST(JsonKey, EveryNameRoundTripsAndNamesAscendInByteOrder) {
  for (int k = 0; k < kKeyCount; ++k) {
    auto key = static_cast<Key>(k);
    std::string_view name = key_name(key);
    SCOPED_TRACE(std::string(name));
    EXPECT_EQ(key_from_name(name), key);
    // Sorting members by Key must sort them by name.
    if (k > 0) {
      EXPECT_LT(key_name(static_cast<Key>(k - 1)), name);
    }
  }
  EXPECT_EQ(key_name(Key::kNone), "");
}

TEST(JsonKey, NearMissesAreNotKeys) {
  const char* misses[] = {
      "",           "p",        "ptx",       "Pt",       "PT",    "a",
      "atbx",       "at",       "inplay",    "InPlay",   "op",    "clk",
      "marketDefinitio",        "marketDefinitionX",     "runnersVoidablE",
      "persistenceEnabled2",    "persistenceEnable",     "idd",   "i\0",
  };
  for (const char* miss : misses) {
    SCOPED_TRACE(miss);
    EXPECT_EQ(key_from_name(miss), Key::kNone);
  }
  // Embedded NUL bytes are part of the name.
  EXPECT_EQ(key_from_name(std::string_view("id\0", 3)), Key::kNone);
  EXPECT_EQ(key_from_name(std::string_view("pt\0\0\0\0\0\0\0", 9)), Key::kNone);
  // A name sharing the first 8 bytes with a long key but differing later.
  EXPECT_EQ(key_from_name("marketDeXinition"), Key::kNone);
  EXPECT_EQ(key_from_name("marketDefinitiom"), Key::kNone);
}

}  // namespace
}  // namespace marrowfin::json
