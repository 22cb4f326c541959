#include "core/json/line_parser.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/json/direct_parser.hpp"
#include "core/json/number.hpp"

namespace marrowfin::json {
namespace {

using namespace std::string_literals;
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
  auto add = [&](const std::string& text) { out.append(out.empty() ? "" : ",").append(text); };
  switch (v.kind()) {
    case Kind::kNull: return "null";
    case Kind::kFalse: return "false";
    case Kind::kTrue: return "true";
    case Kind::kUint: return "u" + std::to_string(*v.as_unsigned());
    case Kind::kInt: return "i" + std::to_string(*v.as_integer());
    case Kind::kDouble: return "d" + number_text(*v.as_float());
    case Kind::kString: return std::string("\"").append(*v.as_string()).append("\"");
    case Kind::kArray:
      for (const Value& item : v.items()) add(dump(item));
      return "[" + out + "]";
    case Kind::kLevels:
      for (const json::Level& l : v.levels()) add(number_text(l.price) + "/" + number_text(l.size));
      return "L[" + out + "]";
    case Kind::kObject:
      for (const Value& m : v.members()) add(std::string(json::key_name(m.key())) + ":" + dump(m));
      return "{" + out + "}";
  }
  return "?";
}

using Method = LineParser::Method;

// The fixed results hold for the loader's parsing and for the reader alone.
class ParseJson : public ::testing::TestWithParam<Method> {
 protected:
  std::string parse_to_text(std::string_view text) const {
    util::Arena arena;
    JsonResult result = parse_json(text, arena, GetParam());
    return result.error.empty() ? dump(result.value) : "error: " + result.error;
  }
};

INSTANTIATE_TEST_SUITE_P(Methods, ParseJson, ::testing::Values(Method::kDirect, Method::kReader),
                         [](const auto& param) { return param.param == Method::kDirect ? "Direct" : "Reader"; });

std::string nest(int depth, std::string_view open, std::string_view inner, std::string_view close) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += inner;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

TEST_P(ParseJson, ValueModel) {
  const std::pair<std::string, std::string> cases[] = {
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
      {R"("\u00e9\uD83D\ude00\u0041")", "\"\xC3\xA9\xF0\x9F\x98\x80" "A\""},
      {R"({"p\u0074":1,"i\u0064":2,"\u0069d":3,"status":""})", "{id:u3,pt:u1,status:\"\"}"},
      {R"({"id":"a\nb","status":"0123456789abcdef0123\"x\u20ac"})",
       "{id:\"a\nb\",status:\"0123456789abcdef0123\"x\xE2\x82\xAC\"}"},
      {" \t\r{ \"pt\" : 1 } \r\t ", "{pt:u1}"},
      // Nesting up to the limit.
      {nest(128, "[", "", "]"), nest(128, "[", "", "]")},
      {nest(128, "{\"rc\":", "1", "}"), nest(128, "{rc:", "u1", "}")},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_to_text(text), expected) << text;
}

TEST_P(ParseJson, Errors) {
  const std::string kValue = "EOF while parsing a value", kList = "EOF while parsing a list",
                    kObject = "EOF while parsing an object", kString = "EOF while parsing a string",
                    kExpected = "expected value", kTrailing = "trailing characters",
                    kNumber = "invalid number", kRange = "number out of range",
                    kEscape = "invalid escape", kHexEnd = "unexpected end of hex escape",
                    kLone = "lone leading surrogate in hex escape",
                    kControl = "control character (\\u0000-\\u001F) found while parsing a string",
                    kDeep = "recursion limit exceeded";
  std::vector<std::tuple<std::string, std::string, int>> cases = {
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
      {R"("\u12)", kString, 5}, {R"("\uD800\u12G4")", kEscape, 12}, {R"("\ud800")", kHexEnd, 8},
      {R"("\ud800\n")", kHexEnd, 9}, {R"("\ud800)", kString, 7}, {R"("\ud800\u0041")", kLone, 13},
      {R"({"op":"ab\udfff"})", kLone, 15}, {"\"a\tb\"", kControl, 3},
      // A NUL byte is a character like any other, never the end of the text.
      {"{}\0junk"s, kTrailing, 3}, {"\"a\0b\""s, kControl, 3},
      {"[1\0]"s, "expected `,` or `]`", 3}, {"\"\\u00\0\""s, kEscape, 6},
      {"tr\0e"s, "expected ident", 3}, {"1.\0"s, kNumber, 3},
      // Past the nesting limit, in a dropped member too; far deeper input fails
      // at the limit rather than recursing on.
      {nest(129, "[", "", "]"), kDeep, 129}, {nest(129, "{\"rc\":", "1", "}"), kDeep, 769},
      {"{\"op\":" + nest(128, "[", "", "]") + "}", kDeep, 134}, {nest(100000, "[", "", ""), kDeep, 129},
      {"\xFF", "stream did not contain valid UTF-8", -1},  // no position
  };
  // Wherever a control character falls in memory (the vector scans work in
  // 16-byte blocks), after an escape or not, in a key or a value, it fails.
  for (std::string_view head : {"[\""sv, "[\"\\n"sv, "[\"\\u00e9x\\\\"sv, "{\""sv, "{\"\\t"sv}) {
    for (std::size_t offset = 0; offset < 40; ++offset) {
      for (char control : {'\x01', '\x19', '\x1a', '\x1f'}) {
        std::string text = std::string(head) + std::string(offset, 'a');
        cases.emplace_back(text + control + (head[0] == '[' ? "\"]" : "\":1}"), kControl, std::ssize(text) + 1);
      }
    }
  }
  for (const auto& [text, description, column] : cases) {
    std::string at = column < 0 ? "" : " at line 1 column " + std::to_string(column);
    EXPECT_EQ(parse_to_text(text), "error: " + description + at) << text;
  }
}

// Lines where the direct parser's own paths meet the reader's rules: each
// must give the reader's values, or be rejected with the reader's text, and
// the direct parser alone must accept exactly what the reader accepts.

const std::string kAgreementLines[] = {
    // Escapes and raw multi-byte text in values and keys; keys decoded to
    // read names, or past the 16 bytes looked up at once. (Invalid UTF-8 is
    // refused before either parser sees it.)
    R"({"id":"\"\\\/\b\f\n\r\t\u0000\u001f\u007F\u0080\u07FF\u0800\uFFFF"})",
    R"({"\u0070t":1,"p\u0074":2,"i\u0064":"\u0041","marketDefinitio\u006e":{"st\u0061tus":"x"}})",
    R"({"marketDefinition":{"bettingType":"ODDS","runnersVoidable":true,"ab":1,"abc\\":2}})",
    R"({"id\u0000":1,"pt":{"\u0000":2},"":3,"i":4,"pt ":5," pt":6})",
    R"({"id":"\u00zz"})", R"({"id":"\ux"})", R"({"id":"\U0041"})", R"({"id":"\a"})",
    R"({"id":"\'"})", R"({"op":"\q"})", R"({"op":"a\)", "\"\xF0\x9F\x98\x80\"",
    // Surrogates: pairs, lone leading and trailing ones, reversed and broken
    // pairs, in kept and dropped members and in keys.
    R"(["\ud83d\ude00","\uD800\uDC00","\uDBFF\uDFFF","x\ud834\udd1ey"])",
    R"(["\ud800"])", R"(["\udc00"])", R"(["\ude00\ud83d"])", R"(["\ud83d\ud83d"])",
    R"(["\ud83d\u0041"])", R"(["\ud83d\n"])", R"(["\ud83d\x"])", R"(["\ud83d\u"])",
    R"(["\ud83d\udz00"])", R"(["\ud83d)", R"(["\ud83d\)", R"({"op":"\udfff"})",
    R"({"op":"\ud800x"})", R"({"\udc00":1})", R"({"\ud83d\ude00":1,"pt":2})",
    R"(["\udc00\u0022"])", R"(["\u0022\udc00"])",
    // Numbers at the edges of the quick paths: digit counts around 19 and
    // 20, mantissas around 2^53 and 2^63, exponents, -0, leading zeros.
    "[0,-0,0.0,-0.0,0e0,-0e-0,0E+1,1E400,-1e400,1e-400,1e22,1e23,1.5e-22,1.5e-23]",
    "[9007199254740992.5,9007199254740993.5,900719925474099.35,0.9007199254740993]",
    "[1234567890123456789,12345678901234567890,123456789012345678901,-1234567890123456789]",
    "[9223372036854775807,9223372036854775808,-9223372036854775807,-9223372036854775808]",
    "[-9223372036854775809,-18446744073709551615,-18446744073709551616,18446744073709551616]",
    "[0.1234567890123456789,1.234567890123456789,12345678901234567.89,0.30000000000000004]",
    "[0.00000000000000000001,1.0000000000000000001,123456789012345678.9,9.999999999999999999]",
    "[2.2250738585072011e-308,2.2250738585072012e-308,4.9406564584124654e-324,2.4703282292062328e-324]",
    "[1.7976931348623157e308,1.7976931348623158e308,1.7976931348623159e308,17976931348623157e292]",
    "[01]", "[-01]", "[00]", "[1.]", "[.5]", "[-.5]", "[+1]", "[1e]", "[1e+]", "[1E-]", "[1.e1]",
    "[--1]", "[-]", "[1x]", "[0x10]", "[Infinity]", "[NaN]", "[-Infinity]", "[1.5e3.2]",
    "1", "-0", "1.5", "12345678901234567890123", "1e5", "0.", "-",
    // Ladders: packed, unpacked at every kind of element, and their pairs'
    // numbers on every path.
    R"({"atb":[[1.5,2],[1e2,-0.0],[-1,18446744073709551616],[1234567890123456789012,0.1]]})",
    R"({"atb":[ [ 1 , 2 ] , [ 3 , 4 ] ],"atl":[[1,2],[3,4],null],"trd":[[1,2],[3,4],[5]]})",
    R"({"spb":[[1,2],[3,true]],"spl":[[1,2],[[3],4]],"batb":[[1,2,3]],"bdatl":[[]]})",
    R"({"atb":[[1,2],[3,4]],"atb":[[5,6]],"trd":[[1,2]],"trd":7})",
    R"({"atb":[[1,2],[3,"4"]]})", R"({"atb":[[1,2],[3,4],]})", R"({"atb":[[1,2],[3,4]})",
    R"({"atb":[[1,2][3,4]]})", R"({"atb":[[1 2]]})", R"({"atb":[[1,2,]]})", R"({"atb":[[1,-]]})",
    R"({"atb":[[1,2],[3,4)", R"({"atb":[[-x,1]]})", R"({"atb":[[1,2],{}]})", R"({"atb":{}})",
    // Members: repeated keys at every level, dropped members of every kind.
    R"({"rc":[{"id":1,"id":2,"hc":1,"id":3}],"pt":1,"pt":2,"mc":[],"mc":null})",
    R"({"op":{"a":[1,{"b":"\u20ac"}],"c":[[[]]]},"clk":"x","pt":1,"zzz":true,"aaa":null})",
    R"({"op":{"a":1,}})", R"({"op":[1,]})", R"({"op":tru})", R"({"op":nul})", R"({"op":"x)",
    // White space of every kind around every token, and what is none.
    " \t\r\n{ \t\r\n\"pt\" \t\r\n: \t\r\n[ \t\r\n1 \t\r\n, \t\r\n2 \t\r\n] \t\r\n} \t\r\n",
    "\f{}", "{}\f", "\v1", "{\"pt\":1}\v", "[1,\f2]", "\xC2\xA0" "1",
    // Trailing bytes, empty and blank text, NUL bytes.
    "", " ", "\t\r\n", "{}{}", "{} {}", "[]]", "{}}", "1 2", "\"a\"\"b\"", "true false",
    "nulll", "{\"pt\":1}x", std::string("{}\0", 3), std::string("\0{}", 3),
    std::string("[\"a\0\"]", 6), std::string("[1\0]", 4), std::string("{\"pt\":1\0}", 9),
    // Nesting at the limit and past it, in kept and dropped members and in
    // ladders, whose pairs count as one more level.
    nest(128, "[", "", "]"), nest(128, "[", "1", "]"),
    nest(127, "{\"rc\":", "[[1,2]]", "}"), nest(127, "{\"atb\":", "[[1,2]]", "}"),
    nest(126, "{\"atb\":", "[[1,2]]", "}"), nest(127, "{\"atb\":", "[]", "}"),
    nest(128, "{\"atb\":", "[]", "}"), nest(127, "{\"atb\":", "[[1,2],3]", "}"),
    "{\"op\":" + nest(127, "[", "", "]") + "}", "{\"op\":" + nest(128, "{\"a\":", "1", "}") + "}",
    nest(128, "{\"op\":", "1", "}"), nest(129, "{\"op\":", "1", "}"),
    nest(128, "[", "", ""), nest(100, "[", "1,", "]"),
};

TEST(Agreement, DirectParserGivesTheReadersResult) {
  for (const std::string& text : kAgreementLines) {
    util::Arena arena;
    JsonResult loaded = parse_json(text, arena, Method::kDirect);
    JsonResult reference = parse_json(text, arena, Method::kReader);
    EXPECT_EQ(loaded.error, reference.error) << text;
    if (reference.error.empty() && loaded.error.empty()) {
      EXPECT_TRUE(json::same_value(loaded.value, reference.value))
          << text << "\n" << dump(loaded.value) << "\n" << dump(reference.value);
    }
    std::vector<char> line(text.size() + 1 + LineParser::kPadding, '\x7f');
    std::memcpy(line.data(), text.data(), text.size());
    line[text.size()] = '\0';
    EXPECT_EQ(DirectParser().parse(line.data(), text.size(), arena), reference.error.empty()) << text;
  }
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
    if (random() % 2 == 0) text.append("e").append(std::to_string(static_cast<int>(random() % 61) - 30));
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

TEST(JsonKey, NamesRoundTripAndNearMissesAreNotKeys) {
  for (int k = 0; k < static_cast<int>(json::Key::kNone); ++k) {
    auto key = static_cast<json::Key>(k);
    EXPECT_EQ(json::key_from_name(json::key_name(key)), key) << k;
  }
  for (std::string_view miss :
       {""sv, "p"sv, "ptx"sv, "Pt"sv, "atbx"sv, "at"sv, "inplay"sv, "clk"sv, "marketDefinitio"sv,
        "marketDefinitionX"sv, "runnersVoidablE"sv, "persistenceEnabled2"sv, "idd"sv, "id\0"sv,
        "pt\0\0\0\0\0\0\0"sv, "marketDeXinition"sv, "marketDefinitiom"sv}) {
    EXPECT_EQ(json::key_from_name(miss), json::Key::kNone) << miss;
  }
}

}  // namespace
}  // namespace marrowfin::json
