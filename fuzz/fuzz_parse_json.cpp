// libFuzzer: any bytes as one line. Must never crash, read out of bounds or
// fail with a description outside the fixed set.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/parse/json_reader.hpp"

namespace {

using marrowfin::json::Value;

std::size_t walk(const Value& value) {
  std::size_t total = 1;
  if (auto s = value.as_string()) total += s->size();
  for (const Value& item : value.items()) total += walk(item);
  for (const Value& member : value.members()) total += walk(member);
  total += value.levels().size();
  return total;
}

bool known(std::string_view error) {
  static const std::string_view kDescriptions[] = {
      "EOF while parsing a list", "EOF while parsing an object", "EOF while parsing a string",
      "EOF while parsing a value", "expected `:`", "expected `,` or `]`", "expected `,` or `}`",
      "expected ident", "expected value", "invalid escape", "invalid number",
      "number out of range", "invalid unicode code point",
      "control character (\\u0000-\\u001F) found while parsing a string",
      "key must be a string", "lone leading surrogate in hex escape", "trailing comma",
      "trailing characters", "unexpected end of hex escape", "recursion limit exceeded"};
  if (error == "stream did not contain valid UTF-8") return true;
  std::size_t at = error.rfind(" at line 1 column ");
  if (at == std::string_view::npos) return false;
  for (std::string_view d : kDescriptions) {
    if (error.substr(0, at) == d) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  marrowfin::parse::Arena arena;
  auto result = marrowfin::parse::parse_json(
      std::string_view(reinterpret_cast<const char*>(data), size), arena);
  if (result.error.empty()) {
    walk(result.value);
  } else if (!known(result.error)) {
    std::abort();
  }
  return 0;
}
