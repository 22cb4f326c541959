#include "parse/json_number.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace marrowfin::json {
namespace {

constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t kMaxExactMantissa = std::uint64_t{1} << 53;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Decimal exponent of the leading significant digit, saturated; only asked
// when a conversion was out of range, to tell overflow from underflow.
long leading_digit_exponent(const char* p, const char* end) noexcept {
  long position = 0;  // of the first non-zero digit, relative to the point
  bool seen_point = false;
  bool found = false;
  for (; p != end && (is_digit(*p) || *p == '.'); ++p) {
    if (*p == '.') {
      seen_point = true;
    } else if (!found && *p != '0') {
      found = true;
      if (seen_point) --position;
    } else if (found && !seen_point) {
      ++position;
    } else if (!found && seen_point) {
      --position;
    }
  }
  long exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = p != end && *p == '-';
    if (p != end && (*p == '-' || *p == '+')) ++p;
    for (; p != end && is_digit(*p); ++p) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  return position + exponent;
}

bool parse_double(const char* text, const char* end, bool negative, Value& out) noexcept {
  double d = 0.0;
  auto [ptr, ec] = std::from_chars(text, end, d);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) {
    if (leading_digit_exponent(text + negative, end) >= 0) return false;
    d = negative ? -0.0 : 0.0;
  }
  out = Value::number(d);
  return true;
}

}  // namespace

bool parse_number(const char* text, std::size_t size, Value& out) noexcept {
  const char* end = text + size;
  const char* p = text;
  bool negative = *p == '-';
  p += negative;

  // Up to 19 significant digits fit a uint64 without overflow.
  std::uint64_t mantissa = 0;
  int significant = 0;
  bool exact = true;  // no non-zero digit was dropped
  int exponent = 0;
  for (; p != end && is_digit(*p); ++p) {
    if (significant < 19) {
      mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
      significant += mantissa != 0;
    } else {
      exact &= *p == '0';
      ++exponent;
    }
  }
  if (p == end) {  // an integer
    if (significant < 19 || (exact && exponent == 0)) {
      if (!negative) {
        out = Value::uint(mantissa);
        return true;
      }
      if (mantissa == 0) {
        out = Value::number(-0.0);
        return true;
      }
      if (mantissa <= std::uint64_t{1} << 63) {
        out = Value::negative(static_cast<std::int64_t>(0 - mantissa));
        return true;
      }
      return parse_double(text, end, negative, out);
    }
    // 20 digits or more: unsigned when it still fits, else a double.
    std::uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(text + negative, end, value);
    if (!negative && ec == std::errc() && ptr == end) {
      out = Value::uint(value);
      return true;
    }
    return parse_double(text, end, negative, out);
  }
  if (*p == '.') {
    for (++p; p != end && is_digit(*p); ++p) {
      if (significant < 19) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
        significant += mantissa != 0;
        --exponent;
      } else {
        exact &= *p == '0';
      }
    }
  }
  if (p != end) {  // 'e' or 'E'
    ++p;
    bool exponent_negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int written = 0;
    for (; p != end && is_digit(*p); ++p) {
      if (written > 100000) return parse_double(text, end, negative, out);
      written = written * 10 + (*p - '0');
    }
    exponent += exponent_negative ? -written : written;
  }
  // Both operands exact, so one IEEE operation rounds correctly.
  if (exact && mantissa <= kMaxExactMantissa && exponent >= -22 && exponent <= 22) {
    double d = static_cast<double>(mantissa);
    d = exponent < 0 ? d / kExactPowers[-exponent] : d * kExactPowers[exponent];
    out = Value::number(negative ? -d : d);
    return true;
  }
  return parse_double(text, end, negative, out);
}

}  // namespace marrowfin::json
