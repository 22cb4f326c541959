#include "parse/json_reader.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>

namespace marrowfin::parse {
namespace {

using json::Kind;
using json::Value;

std::string number_text(double d) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.17g", d);
  return buffer;
}

// A compact rendering that shows every kind: u5 (unsigned), i-5 (negative),
// d1.5 (double), "s" (string), [..] arrays, L[p/s,..] packed levels and
// {key:value,..} objects in stored order.
std::string dump(const Value& v) {
  std::string out;
  switch (v.kind()) {
    case Kind::kNull: return "null";
    case Kind::kFalse: return "false";
    case Kind::kTrue: return "true";
    case Kind::kUint: return "u" + std::to_string(*v.as_unsigned());
    case Kind::kInt: return "i" + std::to_string(*v.as_integer());
    case Kind::kDouble: return "d" + number_text(*v.as_float());
    case Kind::kString: return "\"" + std::string(*v.as_string()) + "\"";
    case Kind::kArray:
      out = "[";
      for (const Value& item : v.items()) out += (out.size() > 1 ? "," : "") + dump(item);
      return out + "]";
    case Kind::kLevels:
      out = "L[";
      for (const json::Level& level : v.levels()) {
        out += (out.size() > 2 ? "," : "") + number_text(level.price) + "/" +
               number_text(level.size);
      }
      return out + "]";
    case Kind::kObject:
      out = "{";
      for (const Value& member : v.members()) {
        out += (out.size() > 1 ? "," : "") + std::string(json::key_name(member.key())) + ":" +
               dump(member);
      }
      return out + "}";
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
  std::string_view expected;
};

TEST(ParseJson, ValueModel) {
  const Case cases[] = {
      // Members sorted by key, last duplicate wins, unread keys dropped.
      {R"({"pt":5,"mc":[],"op":"mcm"})", "{mc:[],pt:u5}"},
      {R"({"pt":1,"id":"a","pt":2})", "{id:\"a\",pt:u2}"},
      {R"({"clk":{"pt":[1,{"id":2}]},"x":null})", "{}"},
      {R"({"rc":[{"id":1,"zz":[[1,2]],"hc":-0.5}]})", "{rc:[{hc:d-0.5,id:u1}]}"},
      {R"([{"op":1},true,false,null])", "[{},true,false,null]"},
      // Ladder arrays of [number, number] pairs are packed.
      {R"({"atb":[[1.5,2],[3,0]],"trd":[],"spl":[[1,-1e2]]})",
       "{atb:L[1.5/2,3/0],spl:L[1/-100],trd:L[]}"},
      // ... and only those: anything else stays an exact array.
      {R"({"atl":[[1.5,2],[3]]})", "{atl:[[d1.5,u2],[u3]]}"},
      {R"({"atl":[[1,2],[3,4,5]]})", "{atl:[[u1,u2],[u3,u4,u5]]}"},
      {R"({"atl":[[1,2],7]})", "{atl:[[u1,u2],u7]}"},
      {R"({"atl":[[1,2],["3",4]]})", "{atl:[[u1,u2],[\"3\",u4]]}"},
      {R"({"atl":[[1,2],{"id":1},[3,4]]})", "{atl:[[u1,u2],{id:u1},[u3,u4]]}"},
      {R"({"atl":[[[1,2]]]})", "{atl:[[[u1,u2]]]}"},
      {R"({"id":[[1,2]],"rc":[[1,2]]})", "{id:[[u1,u2]],rc:[[u1,u2]]}"},
      {R"([[1,2]])", "[[u1,u2]]"},
      // Numbers.
      {"0", "u0"},
      {"-0", "d-0"},
      {"-0.0", "d-0"},
      {"-1", "i-1"},
      {"18446744073709551615", "u18446744073709551615"},
      {"18446744073709551616", "d1.8446744073709552e+19"},
      {"100000000000000000000", "d1e+20"},
      {"-9223372036854775808", "i-9223372036854775808"},
      {"-9223372036854775809", "d-9.2233720368547758e+18"},
      {"9007199254740993", "u9007199254740993"},
      {"9007199254740993.0", "d9007199254740992"},
      {"1.5", "d1.5"},
      {"1E2", "d100"},
      {"1e-2", "d0.01"},
      {"0.1", "d0.10000000000000001"},
      {"123456789012345678901234567890e-10", "d1.2345678901234567e+19"},
      {"2.2250738585072011e-308", "d2.2250738585072009e-308"},
      {"4.9e-324", "d4.9406564584124654e-324"},
      {"1e-400", "d0"},
      {"-1e-400", "d-0"},
      {"1.7976931348623157e308", "d1.7976931348623157e+308"},
      {"0e400", "d0"},
      {"-0.000e99999", "d-0"},
      {"12345678.12345678e-3", "d12345.678123456781"},
      {"[1,22,333,4444,55555,666666,7777777,88888888,999999999]",
       "[u1,u22,u333,u4444,u55555,u666666,u7777777,u88888888,u999999999]"},
      {"0.000000000000000000000000000001", "d1.0000000000000001e-30"},
      // Strings and escapes.
      {R"("a\"\\\/\b\f\n\r\t")", "\"a\"\\/\b\f\n\r\t\""},
      {R"("\u00e9\ud83d\ude00\u0041")", "\"\xC3\xA9\xF0\x9F\x98\x80" "A\""},
      {"\"\xE2\x82\xAC\"", "\"\xE2\x82\xAC\""},
      {R"({"id":"x","status":""})", "{id:\"x\",status:\"\"}"},
      // Keys are compared after unescaping.
      {R"({"p\u0074":1,"i\u0064":2,"\u0069d":3})", "{id:u3,pt:u1}"},
      {R"({"id":"a\nb","status":"0123456789abcdef0123\"x"})",
       "{id:\"a\nb\",status:\"0123456789abcdef0123\"x\"}"},
      // White space around the value.
      {" \t\r{ \"pt\" : 1 } \r\t ", "{pt:u1}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_to_text(c.text), c.expected);
  }
}

TEST(ParseJson, Errors) {
  using namespace std::string_view_literals;
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"x", "expected value at line 1 column 1"},
      {"  x", "expected value at line 1 column 3"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"\xC2\xA0{}", "expected value at line 1 column 1"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1, \t]", "trailing comma at line 1 column 6"},
      {R"({"a":1,})", "trailing comma at line 1 column 8"},
      {"[,1]", "expected value at line 1 column 2"},
      {R"({"a":})", "expected value at line 1 column 6"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[ ", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {R"({"a")", "EOF while parsing an object at line 1 column 4"},
      {R"("abc)", "EOF while parsing a string at line 1 column 4"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"trux", "expected ident at line 1 column 4"},
      {"[nul]", "expected ident at line 1 column 5"},
      {R"({"a":f})", "expected ident at line 1 column 7"},
      {"truex", "trailing characters at line 1 column 5"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"[-]", "invalid number at line 1 column 3"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"01", "trailing characters at line 1 column 2"},
      {"1e309", "number out of range at line 1 column 1"},
      {"[1.8e308]", "number out of range at line 1 column 2"},
      {R"({"op":-1.8e308})", "number out of range at line 1 column 7"},
      {R"("\x")", "invalid escape at line 1 column 3"},
      {R"("\)", "EOF while parsing a string at line 1 column 2"},
      {R"("\u12x4")", "invalid escape at line 1 column 6"},
      {R"("\u12)", "EOF while parsing a string at line 1 column 5"},
      {R"("\ud800\u12G4")", "invalid escape at line 1 column 12"},
      {R"("\ud800")", "unexpected end of hex escape at line 1 column 8"},
      {R"("\ud800\n")", "unexpected end of hex escape at line 1 column 9"},
      {R"("\ud800)", "EOF while parsing a string at line 1 column 7"},
      {R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
      {R"("\ud800\ud800")", "lone leading surrogate in hex escape at line 1 column 13"},
      {R"("\udc00")", "lone leading surrogate in hex escape at line 1 column 7"},
      {R"({"op":"ab\udfff"})", "lone leading surrogate in hex escape at line 1 column 15"},
      {R"(["\udc00", x])", "lone leading surrogate in hex escape at line 1 column 8"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\x1F\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"{}{}", "trailing characters at line 1 column 3"},
      {"1 2", "trailing characters at line 1 column 3"},
      // A NUL byte is a character like any other, never the end of the text.
      {"{}\0junk"sv, "trailing characters at line 1 column 3"},
      {"[1]\0"sv, "trailing characters at line 1 column 4"},
      {"\"a\0b\""sv, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {" \0"sv, "expected value at line 1 column 2"},
      {"\0"sv, "expected value at line 1 column 1"},
      {"[\0]"sv, "expected value at line 1 column 2"},
      {"{\"a\":1\0}"sv, "expected `,` or `}` at line 1 column 7"},
      {"[1\0]"sv, "expected `,` or `]` at line 1 column 3"},
      {"{\"a\"\0:1}"sv, "expected `:` at line 1 column 5"},
      {"{\0}"sv, "key must be a string at line 1 column 2"},
      {"\"\\\0\""sv, "invalid escape at line 1 column 3"},
      {"\"\\u00\0\""sv, "invalid escape at line 1 column 6"},
      {"tr\0e"sv, "expected ident at line 1 column 3"},
      {"1.\0"sv, "invalid number at line 1 column 3"},
      {"\xFF", "stream did not contain valid UTF-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_to_text(c.text), "error: " + std::string(c.expected));
  }
}

std::string nested(int depth, std::string_view open, std::string_view inner,
                   std::string_view close) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += inner;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

TEST(ParseJson, NestingLimit) {
  EXPECT_EQ(parse_to_text(nested(128, "[", "", "]")).substr(0, 4), "[[[[");
  EXPECT_EQ(parse_to_text(nested(129, "[", "", "]")),
            "error: recursion limit exceeded at line 1 column 129");
  EXPECT_EQ(parse_to_text(nested(128, "{\"rc\":", "1", "}")).substr(0, 8), "{rc:{rc:");
  EXPECT_EQ(parse_to_text(nested(129, "{\"rc\":", "1", "}")),
            "error: recursion limit exceeded at line 1 column 769");
  // Inside a dropped member the limit holds all the same.
  EXPECT_EQ(parse_to_text("{\"op\":" + nested(128, "[", "", "]") + "}"),
            "error: recursion limit exceeded at line 1 column 134");
  // Far deeper input fails at the limit rather than recursing on.
  EXPECT_EQ(parse_to_text(nested(100000, "[", "", "")),
            "error: recursion limit exceeded at line 1 column 129");
}

// The loader's use: root members stay out of the arena until kept.
TEST(LineParser, RootObjectMembersStayOutOfTheArenaUntilMaterialised) {
  Arena arena;
  LineParser parser;
  std::string line = R"({"op":"mcm","pt":7,"pt":8,"clk":"x"})";
  line.append(1 + LineParser::kPadding, '\0');
  ASSERT_TRUE(parser.parse(line.data(), line.size() - 1 - LineParser::kPadding, arena));
  EXPECT_EQ(arena.reserved_bytes(), 0u);
  ASSERT_TRUE(parser.root_is_object());
  EXPECT_EQ(parser.root_member_count(), 4u);  // dropped and repeated included
  ASSERT_EQ(parser.root_members().size(), 1u);
  EXPECT_EQ(dump(parser.materialize_root(arena)), "{pt:u8}");

  std::string empty = "{}";
  empty.append(1 + LineParser::kPadding, '\0');
  ASSERT_TRUE(parser.parse(empty.data(), 2, arena));
  EXPECT_TRUE(parser.root_is_object());
  EXPECT_EQ(parser.root_member_count(), 0u);

  std::string array = "[{\"pt\":1}]";
  array.append(1 + LineParser::kPadding, '\0');
  ASSERT_TRUE(parser.parse(array.data(), array.size() - 1 - LineParser::kPadding, arena));
  EXPECT_FALSE(parser.root_is_object());
  EXPECT_EQ(parser.root_member_count(), 0u);
  EXPECT_EQ(dump(parser.root()), "[{pt:u1}]");
}

TEST(LineParser, ReusedAfterAnError) {
  Arena arena;
  LineParser parser;
  std::string bad = "[[[1,\"\\udc00\"";
  bad.append(1 + LineParser::kPadding, '\0');
  EXPECT_FALSE(parser.parse(bad.data(), 13, arena));
  std::string good = "{\"pt\":1}";
  good.append(1 + LineParser::kPadding, '\0');
  ASSERT_TRUE(parser.parse(good.data(), 8, arena));
  EXPECT_EQ(dump(parser.materialize_root(arena)), "{pt:u1}");
}

// Random damage to realistic lines never crashes, and every failure speaks
// the fixed vocabulary with a column inside the line (or just after it).
TEST(ParseJson, DamagedLinesFailOnlyWithKnownDescriptions) {
  const std::set<std::string> descriptions = {
      "EOF while parsing a list", "EOF while parsing an object", "EOF while parsing a string",
      "EOF while parsing a value", "expected `:`", "expected `,` or `]`", "expected `,` or `}`",
      "expected ident", "expected value", "invalid escape", "invalid number",
      "number out of range", "invalid unicode code point",
      "control character (\\u0000-\\u001F) found while parsing a string",
      "key must be a string", "lone leading surrogate in hex escape", "trailing comma",
      "trailing characters", "unexpected end of hex escape", "recursion limit exceeded"};
  const std::string seeds[] = {
      R"({"op":"mcm","clk":"AK0","pt":1700000000123,"mc":[{"id":"1.2","img":true,)"
      R"("rc":[{"atb":[[1.5,20.25],[1.6,0]],"trd":[[2,3e1]],"id":123,"hc":-0.25}]}]})",
      R"({"pt":5,"rc":[{"spn":"NaN","spf":null,"ltp":1.01}],"marketDefinition":{"name":)"
      R"("\u00e9\ud83d\ude00 x","runners":[{"id":1,"bsp":"x"}],"regulators":["A"]}})",
  };
  std::mt19937 random(7);
  const char alphabet[] = "{}[]\",:.-+eE0123456789tfnul\\/ \t\r\x01\x7f\xc3\xa9";
  for (int n = 0; n < 60000; ++n) {
    std::string text = seeds[n % 2];
    int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      std::size_t at = random() % text.size();
      char c = random() % 8 == 0 ? '\0' : alphabet[random() % (sizeof alphabet - 1)];
      switch (random() % 4) {
        case 0: text[at] = c; break;
        case 1: text.insert(at, 1, c); break;
        case 2: text.erase(at, 1); break;
        default: text.resize(at); break;
      }
    }
    Arena arena;
    JsonResult result = parse_json(text, arena);
    if (result.error.empty() || result.error == "stream did not contain valid UTF-8") continue;
    std::size_t at = result.error.rfind(" at line 1 column ");
    ASSERT_NE(at, std::string::npos) << result.error;
    EXPECT_TRUE(descriptions.count(result.error.substr(0, at))) << result.error;
    std::size_t column = std::stoul(result.error.substr(at + 18));
    EXPECT_LE(column, text.size() + 1) << result.error;
  }
}

}  // namespace
}  // namespace marrowfin::parse
