// Turning the text of a JSON number into the value model's number kinds.
#pragma once

#include <cstddef>

#include "parse/json_value.hpp"

namespace marrowfin::json {

// `text` is a number already checked against the JSON grammar. Integers
// without fraction or exponent stay exact (unsigned, or negative signed) when
// they fit; "-0" and everything else becomes the correctly rounded double.
// Returns false when the double overflows ("number out of range"); a number
// too small for a double becomes zero of its sign.
[[nodiscard]] bool parse_number(const char* text, std::size_t size, Value& out) noexcept;

}  // namespace marrowfin::json
