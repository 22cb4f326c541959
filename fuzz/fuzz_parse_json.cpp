// libFuzzer: any bytes as one line, parsed by the loader's way (the direct
// parser, RapidJSON's reader for the error of a rejected line) and by the
// reader alone. Must never crash or read out of bounds; both must give the
// same values, or the same error text from the fixed set; and the direct
// parser alone must accept exactly the lines the reader accepts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/direct_parser.hpp"
#include "core/json/line_parser.hpp"
#include "core/json/utf8.hpp"

namespace {

using marrowfin::json::Value;
using marrowfin::json::LineParser;

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
  std::string_view text(reinterpret_cast<const char*>(data), size);
  marrowfin::util::Arena arena;
  auto loaded = marrowfin::json::parse_json(text, arena);
  auto reference = marrowfin::json::parse_json(text, arena, LineParser::Method::kReader);
  if (loaded.error != reference.error) std::abort();
  if (loaded.error.empty()) {
    walk(loaded.value);
    if (!marrowfin::json::same_value(loaded.value, reference.value)) std::abort();
  } else if (!known(loaded.error)) {
    std::abort();
  }
  // The direct parser alone: a line the reader accepts that it rejected
  // would only cost a second parse above, so it is checked here.
  if (marrowfin::json::is_valid_utf8(text)) {
    // Exactly the NUL and the padding the parser may read, so that ASan sees
    // a read past them.
    std::vector<char> line(size + 1 + LineParser::kPadding, '\0');
    if (size != 0) std::memcpy(line.data(), data, size);
    marrowfin::json::DirectParser direct;
    if (direct.parse(line.data(), size, arena) != reference.error.empty()) std::abort();
  }
  return 0;
}
