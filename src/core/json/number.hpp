// Reading a JSON number into the value model's number kinds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/json/value.hpp"

namespace marrowfin::json {

struct NumberScan {
  enum class Status : std::uint8_t {
    kOk,
    kNoDigit,          // no digit where the number (or its integer part) starts
    kNoFraction,       // no digit after the decimal point
    kNoExponent,       // no digit in the exponent
    kOutOfRange,       // the double overflows
  };
  const char* end;  // just after the number; where the fault is otherwise
  Status status;
};

// Scans the number starting at `text` by the JSON grammar and converts it.
// The number must be followed by a byte that cannot continue it (a NUL
// terminator will do) and then 8 more readable bytes: digits are read eight
// at a time. Integers without fraction or exponent stay exact
// (unsigned, or negative signed) when they fit; "-0" and everything else
// becomes the correctly rounded double, zero of its sign when it is too small.
[[nodiscard]] NumberScan scan_number(const char* text, Value& out) noexcept;

// `text` is one complete JSON number; false when its double overflows.
[[nodiscard]] bool parse_number(const char* text, std::size_t size, Value& out);

}  // namespace marrowfin::json
