#include "core/market/decimal_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace marrowfin::market {

std::string shortest_decimal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // The shortest round-trip digits come from to_chars; its scientific form
  // ("d.ddde+XX") gives the digits and the decimal exponent separately, and
  // the positional text is laid out from them here.
  char buffer[32];
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (error != std::errc()) return "NaN";  // cannot happen: 32 bytes hold any double
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));

  std::string result;
  if (text.front() == '-') {
    result.push_back('-');
    text.remove_prefix(1);
  }
  std::size_t e_pos = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());
  const int count = static_cast<int>(digits.size());

  if (exponent >= count - 1) {  // whole number: all digits, then zeros
    result += digits;
    result.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
  } else if (exponent >= 0) {  // point inside the digits
    const auto whole = static_cast<std::size_t>(exponent + 1);
    result.append(digits, 0, whole);
    result.push_back('.');
    result.append(digits, whole);
  } else {  // below 1: leading zeros after the point
    result += "0.";
    result.append(static_cast<std::size_t>(-exponent - 1), '0');
    result += digits;
  }
  return result;
}

}  // namespace marrowfin::market
