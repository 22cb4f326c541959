#include "core/parse/json_reader.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "core/parse/json_number.hpp"

namespace marrowfin::parse {
namespace {

using json::Kind;
using json::Value;
using namespace std::string_view_literals;

std::string number_text(double d) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.17g", d);
  return buffer;
}

// A rendering that shows every kind: u5 (unsigned), i-5 (negative), d1.5
// (double), "s", [..], L[price/size,..] (packed levels) and {key:value,..}.
std::string dump(const Value& v) {
  std::string out;
  switch (v.kind()) {
    case Kind::kNull:
      return "null";
    case Kind::kFalse:
      return "false";
    case Kind::kTrue:
      return "true";
    case Kind::kUint:
      return "u" + std::to_string(*v.as_unsigned());
    case Kind::kInt:
      return "i" + std::to_string(*v.as_integer());
    case Kind::kDouble:
      return "d" + number_text(*v.as_float());
    case Kind::kString:
      return "\"" + std::string(*v.as_string()) + "\"";
    case Kind::kArray:
      for (const Value& item : v.items()) out += (out.empty() ? "" : ",") + dump(item);
      return "[" + out + "]";
    case Kind::kLevels:
      for (const json::Level& l : v.levels()) {
        out += (out.empty() ? "" : ",") + number_text(l.price) + "/" + number_text(l.size);
      }
      return "L[" + out + "]";
    case Kind::kObject:
      for (const Value& m : v.members()) {
        out += (out.empty() ? "" : ",") + std::string(json::key_name(m.key())) + ":" + dump(m);
      }
      return "{" + out + "}";
  }
  return "?";
}

std::string parse_to_text(std::string_view text) {
  Arena arena;
  JsonResult result = parse_json(text, arena);
  return result.error.empty() ? dump(result.value) : "error: " + result.error;
}

struct Case {
  std::string_view text;
  std::string expected;
};

TEST(ParseJson, ValueModel) {
  const Case cases[] = {
      // Members sorted by key, last duplicate wins, unread keys dropped.
      {R"({"pt":5,"mc":[],"op":"mcm"})", "{mc:[],pt:u5}"},
      {R"({"pt":1,"id":"a","pt":2})", "{id:\"a\",pt:u2}"},
      {R"({"clk":{"pt":[1,{"id":2}]},"x":null})", "{}"},
      {R"({"rc":[{"id":1,"zz":[[1,2]],"hc":-0.5}]})", "{rc:[{hc:d-0.5,id:u1}]}"},
      {R"([{"op":1},true,false,null])", "[{},true,false,null]"},
      // Ladder arrays of [number, number] pairs are packed, and only those.
      {R"({"atb":[[1.5,2],[3,0]],"trd":[],"spl":[[1,-1e2]]})",
       "{atb:L[1.5/2,3/0],spl:L[1/-100],trd:L[]}"},
      {R"({"atl":[[1.5,2],[3]],"atb":[[1,2],[3,4,5]],"spb":[[1,2],7],"spl":[[1,2],["3",4]]})",
       "{atb:[[u1,u2],[u3,u4,u5]],atl:[[d1.5,u2],[u3]],spb:[[u1,u2],u7],spl:[[u1,u2],[\"3\",u4]]}"},
      {R"({"atl":[[1,2],{"id":1},[3,4]],"trd":[[[1,2]]],"id":[[1,2]],"rc":[[1,2]]})",
       "{atl:[[u1,u2],{id:u1},[u3,u4]],id:[[u1,u2]],rc:[[u1,u2]],trd:[[[u1,u2]]]}"},
      // Integers stay exact where they fit.
      {"[0,-0,-0.0,-1,18446744073709551615,18446744073709551616,99999999999999999999]",
       "[u0,d-0,d-0,i-1,u18446744073709551615,d1.8446744073709552e+19,d1e+20]"},
      {"[-9223372036854775808,-9223372036854775809,9007199254740993,9007199254740993.0]",
       "[i-9223372036854775808,d-9.2233720368547758e+18,u9007199254740993,d9007199254740992]"},
      {"[1,22,333,4444,55555,666666,7777777,88888888,999999999]",
       "[u1,u22,u333,u4444,u55555,u666666,u7777777,u88888888,u999999999]"},
      // Doubles round as a full conversion does; underflow gives a signed zero.
      {"[1E2,1e-2,0.1,123456789012345678901234567890e-10,12345678.12345678e-3]",
       "[d100,d0.01,d0.10000000000000001,d1.2345678901234567e+19,d12345.678123456781]"},
      {"[2.2250738585072011e-308,4.9e-324,1.7976931348623157e308,0.000000000000000000000000000001]",
       "[d2.2250738585072009e-308,d4.9406564584124654e-324,d1.7976931348623157e+308,"
       "d1.0000000000000001e-30]"},
      {"[1e-400,-1e-400,0.0000000001e-330,1000000000000000000000000e-350,0e400,-0.000e99999]",
       "[d0,d-0,d0,d0,d0,d-0]"},
      // Strings and escapes; keys are compared after unescaping.
      {R"("a\"\\\/\b\f\n\r\t")", "\"a\"\\/\b\f\n\r\t\""},
      {R"("\u00e9\ud83d\ude00\u0041")", "\"\xC3\xA9\xF0\x9F\x98\x80" "A\""},
      {R"({"p\u0074":1,"i\u0064":2,"\u0069d":3,"status":""})", "{id:u3,pt:u1,status:\"\"}"},
      {R"({"id":"a\nb","status":"0123456789abcdef0123\"x\u20ac"})",
       "{id:\"a\nb\",status:\"0123456789abcdef0123\"x\xE2\x82\xAC\"}"},
      {" \t\r{ \"pt\" : 1 } \r\t ", "{pt:u1}"},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_to_text(c.text), c.expected) << c.text;
}

TEST(ParseJson, Errors) {
  const std::string kValue = "EOF while parsing a value", kList = "EOF while parsing a list",
                    kObject = "EOF while parsing an object", kString = "EOF while parsing a string",
                    kExpected = "expected value", kTrailing = "trailing characters",
                    kNumber = "invalid number", kRange = "number out of range",
                    kEscape = "invalid escape", kHexEnd = "unexpected end of hex escape",
                    kLone = "lone leading surrogate in hex escape",
                    kControl = "control character (\\u0000-\\u001F) found while parsing a string";
  const struct {
    std::string_view text;
    std::string description;
    int column;
  } cases[] = {
      {"", kValue, 0}, {"  x", kExpected, 3}, {"\xEF\xBB\xBF{}", kExpected, 1},
      {"[1,]", "trailing comma", 4}, {"[1, \t]", "trailing comma", 6},
      {R"({"a":1,})", "trailing comma", 8}, {"[,1]", kExpected, 2},
      {"[1 2]", "expected `,` or `]`", 4}, {R"({"a" 1})", "expected `:`", 6},
      {R"({"a":1 "b":2})", "expected `,` or `}`", 8}, {"{1:2}", "key must be a string", 2},
      {"[1", kList, 2}, {"[ ", kList, 2}, {"[1,", kValue, 3}, {"{", kObject, 1},
      {R"({"a")", kObject, 4}, {R"({"a":1)", kObject, 6}, {R"("abc)", kString, 4},
      {"tru", kValue, 3}, {"trux", "expected ident", 4}, {"truex", kTrailing, 5},
      {"01", kTrailing, 2}, {"-", kValue, 1}, {"-x", kNumber, 2}, {"1.x", kNumber, 3},
      {"1e", kValue, 2}, {"1e309", kRange, 1}, {"[17976931348623159e292]", kRange, 2},
      {"0.00000000000000000000000000000000000000001e350", kRange, 1},
      {R"({"op":-1.8e308})", kRange, 7},  // in a dropped member
      {R"("\x")", kEscape, 3}, {R"("\)", kString, 2}, {R"("\u12x4")", kEscape, 6},
      {R"("\u12)", kString, 5}, {R"("\ud800\u12G4")", kEscape, 12}, {R"("\ud800")", kHexEnd, 8},
      {R"("\ud800\n")", kHexEnd, 9}, {R"("\ud800)", kString, 7}, {R"("\ud800\u0041")", kLone, 13},
      {R"({"op":"ab\udfff"})", kLone, 15}, {"\"a\tb\"", kControl, 3},
      // A NUL byte is a character like any other, never the end of the text.
      {"{}\0junk"sv, kTrailing, 3}, {"\"a\0b\""sv, kControl, 3},
      {"[1\0]"sv, "expected `,` or `]`", 3}, {"\"\\u00\0\""sv, kEscape, 6},
      {"tr\0e"sv, "expected ident", 3}, {"1.\0"sv, kNumber, 3},
      {"\xFF", "stream did not contain valid UTF-8", -1},  // no position
  };
  for (const auto& c : cases) {
    std::string at = c.column < 0 ? "" : " at line 1 column " + std::to_string(c.column);
    EXPECT_EQ(parse_to_text(c.text), "error: " + c.description + at) << c.text;
  }
}

TEST(ParseJson, NestingLimit) {
  auto nested = [](int depth, std::string open, std::string inner, std::string close) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += inner;
    for (int i = 0; i < depth; ++i) text += close;
    return parse_to_text(text);
  };
  const std::string kError = "error: recursion limit exceeded at line 1 column ";
  EXPECT_EQ(nested(128, "[", "", "]").substr(0, 4), "[[[[");
  EXPECT_EQ(nested(129, "[", "", "]"), kError + "129");
  EXPECT_EQ(nested(128, "{\"rc\":", "1", "}").substr(0, 8), "{rc:{rc:");
  EXPECT_EQ(nested(129, "{\"rc\":", "1", "}"), kError + "769");
  // Inside a dropped member the limit holds all the same.
  EXPECT_EQ(nested(1, "{\"op\":", std::string(128, '[') + std::string(128, ']'), "}"),
            kError + "134");
  // Far deeper input fails at the limit rather than recursing on.
  EXPECT_EQ(nested(100000, "[", "", ""), kError + "129");
}

// The quick path must round exactly as a full conversion does.
TEST(ParseNumber, DecimalsRoundLikeAFullConversion) {
  std::mt19937_64 random(12345);
  for (int n = 0; n < 200000; ++n) {
    std::string text = random() % 4 == 0 ? "-" : "";
    int digits = 1 + static_cast<int>(random() % 21);
    int point = static_cast<int>(random() % static_cast<unsigned>(digits + 1));
    text += static_cast<char>('1' + random() % 9);
    for (int i = 1; i < digits; ++i) {
      if (i == point) text += '.';
      text += static_cast<char>('0' + random() % 10);
    }
    if (random() % 2 == 0) text += "e" + std::to_string(static_cast<int>(random() % 61) - 30);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    double expected = 0;
    std::from_chars(text.data(), text.data() + text.size(), expected);
    Value value;
    ASSERT_TRUE(json::parse_number(text.data(), text.size(), value)) << text;
    ASSERT_EQ(value.kind(), Kind::kDouble) << text;
    double got = *value.as_float();
    ASSERT_EQ(std::memcmp(&got, &expected, sizeof expected), 0) << text;
  }
}

TEST(JsonKey, NamesRoundTripInByteOrderAndNearMissesAreNotKeys) {
  for (int k = 0; k < static_cast<int>(json::Key::kNone); ++k) {
    auto key = static_cast<json::Key>(k);
    EXPECT_EQ(json::key_from_name(json::key_name(key)), key) << k;
    // Sorting members by Key must sort them by name.
    if (k > 0) {
      EXPECT_LT(json::key_name(static_cast<json::Key>(k - 1)), json::key_name(key));
    }
  }
  for (std::string_view miss :
       {""sv, "p"sv, "ptx"sv, "Pt"sv, "atbx"sv, "at"sv, "inplay"sv, "clk"sv, "marketDefinitio"sv,
        "marketDefinitionX"sv, "runnersVoidablE"sv, "persistenceEnabled2"sv, "idd"sv, "id\0"sv,
        "pt\0\0\0\0\0\0\0"sv, "marketDeXinition"sv, "marketDefinitiom"sv}) {
    EXPECT_EQ(json::key_from_name(miss), json::Key::kNone) << miss;
  }
}

}  // namespace
}  // namespace marrowfin::parse
