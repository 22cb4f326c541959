#include "core/json/number.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <system_error>

namespace marrowfin::json {
namespace {

constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t kMaxExactMantissa = std::uint64_t{1} << 53;
constexpr int kMaxMantissaDigits = 19;  // any 19 digits fit a uint64

bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }
unsigned digit(char c) noexcept { return static_cast<unsigned>(c - '0'); }

constexpr std::uint64_t kZeros = 0x3030303030303030ULL;
constexpr std::uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0ULL;

// Reads a run of up to 8 digits at `p` at once (8 bytes must be readable):
// adds it to `value` and returns its length.
std::size_t read_digits(const char* p, std::uint64_t& value) noexcept {
  std::uint64_t bytes;
  std::memcpy(&bytes, p, 8);  // little-endian: the first digit is the lowest byte
  // A digit is 0x30..0x39: high nibble 3, and still 3 after adding 6. A carry
  // out of a byte only comes from a byte that is no digit, so it never hides
  // the first non-digit.
  std::uint64_t other = ((bytes & kHighNibbles) ^ kZeros) |
                        (((bytes + 0x0606060606060606ULL) & kHighNibbles) ^ kZeros);
  std::size_t count = other == 0 ? 8 : static_cast<std::size_t>(__builtin_ctzll(other)) / 8;
  if (count == 0) return 0;
  // The run's digits moved to the top bytes, below them zeros: "000ddddd".
  std::uint64_t digits = (bytes - kZeros) << (8 * (8 - count));
  digits = (digits * 10 + (digits >> 8)) & 0x00FF00FF00FF00FFULL;
  digits = (digits * 100 + (digits >> 16)) & 0x0000FFFF0000FFFFULL;
  digits = (digits * 10000 + (digits >> 32)) & 0xFFFFFFFFULL;
  static constexpr std::uint64_t kScale[] = {1,      10,      100,      1000,     10000,
                                             100000, 1000000, 10000000, 100000000};
  value = value * kScale[count] + digits;
  return count;
}

// Reads the digits at `p` into `value` (wrapping past 19 digits); returns
// where they end.
const char* read_all_digits(const char* p, std::uint64_t& value) noexcept {
  std::size_t count;
  do {
    count = read_digits(p, value);
    p += count;
  } while (count == 8);
  return p;
}

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

// The general conversion, for what the quick paths leave.
[[gnu::noinline]] bool convert_slowly(const char* text, const char* end, bool negative,
                                      bool integer, Value& out) noexcept {
  if (integer && !negative) {  // 20 digits or more: unsigned while it fits
    std::uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec == std::errc() && ptr == end) {
      out = Value::uint(value);
      return true;
    }
  }
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

NumberScan scan_number(const char* text, Value& out) noexcept {
  const char* p = text;
  bool negative = *p == '-';
  p += negative;

  // Digits accumulate without overflow checks; more than 19 of them (when
  // the mantissa may have wrapped) take the general conversion.
  std::uint64_t mantissa = 0;
  const char* digits = p;
  if (*p == '0') {
    ++p;
  } else if (is_digit(*p)) {
    p = read_all_digits(p, mantissa);
  } else {
    return {p, NumberScan::Status::kNoDigit};
  }
  std::ptrdiff_t digit_count = p - digits;
  int exponent = 0;
  bool integer = true;
  if (*p == '.') {
    ++p;
    if (!is_digit(*p)) return {p, NumberScan::Status::kNoFraction};
    integer = false;
    const char* fraction = p;
    p = read_all_digits(p, mantissa);
    digit_count += p - fraction;
    exponent = -static_cast<int>(std::min<std::ptrdiff_t>(p - fraction, 1000000));
  }
  if (*p == 'e' || *p == 'E') {
    ++p;
    integer = false;
    bool exponent_negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (!is_digit(*p)) return {p, NumberScan::Status::kNoExponent};
    int written = 0;
    do {
      if (written < 100000) written = written * 10 + static_cast<int>(digit(*p));
      ++p;
    } while (is_digit(*p));
    exponent += exponent_negative ? -written : written;
  }

  if (digit_count <= kMaxMantissaDigits) {
    if (integer) {
      if (!negative) {
        out = Value::uint(mantissa);
        return {p, NumberScan::Status::kOk};
      }
      if (mantissa == 0) {
        out = Value::number(-0.0);
        return {p, NumberScan::Status::kOk};
      }
      if (mantissa <= std::uint64_t{1} << 63) {
        out = Value::negative(static_cast<std::int64_t>(0 - mantissa));
        return {p, NumberScan::Status::kOk};
      }
    } else if (mantissa <= kMaxExactMantissa && exponent >= -22 && exponent <= 22) {
      // Both operands exact, so one IEEE operation rounds correctly.
      double d = static_cast<double>(mantissa);
      d = exponent < 0 ? d / kExactPowers[-exponent] : d * kExactPowers[exponent];
      out = Value::number(negative ? -d : d);
      return {p, NumberScan::Status::kOk};
    }
  }
  if (!convert_slowly(text, p, negative, integer, out)) return {p, NumberScan::Status::kOutOfRange};
  return {p, NumberScan::Status::kOk};
}

bool parse_number(const char* text, std::size_t size, Value& out) {
  std::string padded(text, size);
  padded.append(8, '\0');
  return scan_number(padded.c_str(), out).status == NumberScan::Status::kOk;
}

}  // namespace marrowfin::json
