// Writing a double as the shortest decimal that reads back to the same value,
// in plain positional notation (never an exponent). Python-free.
#pragma once

#include <string>

namespace marrowfin::market {

// 1.5 -> "1.5", 2.0 -> "2", 1e-7 -> "0.0000001", 1e21 -> "1" and 21 zeros,
// NaN -> "NaN", infinities -> "inf" / "-inf", -0.0 -> "-0".
std::string shortest_decimal(double value);

}  // namespace marrowfin::market
