// Parsing one line of text into the compact value model.
#pragma once

#include <string>
#include <string_view>

#include "parse/arena.hpp"
#include "parse/json_value.hpp"

namespace marrowfin::parse {

struct JsonResult {
  json::Value value;  // valid when error is empty; storage lives in the arena
  std::string error;  // "<description> at line 1 column C" on failure
};

// Parses `text` as exactly one JSON value (white space around it allowed,
// nesting at most 128 deep) into `arena`. Members that nothing reads are
// dropped. Used by tests and fuzzers; the loader uses the same parser.
[[nodiscard]] JsonResult parse_json(std::string_view text, Arena& arena);

}  // namespace marrowfin::parse
