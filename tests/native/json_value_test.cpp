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

TEST(JsonValue, FindUsesLinearAndBinarySearch) {
  Value members[12];
  for (int i = 0; i < 12; ++i) {
    members[i] = Value::uint(static_cast<std::uint64_t>(i)).with_key(static_cast<Key>(3 * i));
  }
  for (std::uint32_t size : {3u, 12u}) {
    Value object = Value::object(members, size);
    for (std::uint32_t i = 0; i < size; ++i) {
      const Value* found = object.find(static_cast<Key>(3 * i));
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->as_integer(), i);
      EXPECT_EQ(object.find(static_cast<Key>(3 * i + 1)), nullptr);
    }
  }
  EXPECT_EQ(Value::uint(1).find(Key::kId), nullptr);
}

TEST(JsonValue, IntegerAndFloatReadings) {
  EXPECT_EQ(Value::uint(9223372036854775807ULL).as_integer(), INT64_MAX);
  EXPECT_EQ(Value::uint(9223372036854775808ULL).as_integer(), std::nullopt);
  EXPECT_EQ(Value::negative(INT64_MIN).as_integer(), INT64_MIN);
  EXPECT_EQ(Value::number(5.0).as_integer(), std::nullopt);
  EXPECT_EQ(Value::uint(18446744073709551615ULL).as_float(), 18446744073709551616.0);
  EXPECT_EQ(Value::string("5", 1).as_float(), std::nullopt);
}

}  // namespace
}  // namespace marrowfin::json
