#include "core/market/stream_time.hpp"

#include <cmath>

namespace marrowfin::market {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Rounds half to even, in the steps the interpreter's time rounding takes
// (round away from zero, then fix up the exact halves). Whole milliseconds
// meet an exact half of a microsecond only beyond year 10000, but the steps
// are kept as they are rather than argued away.
double round_half_even(double x) noexcept {
  double rounded = std::round(x);
  if (std::fabs(x - rounded) == 0.5) rounded = 2.0 * std::round(x / 2.0);
  return rounded;
}

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's
// civil_from_days), exact for every 64-bit day count a time here can give.
void civil_from_days(std::int64_t days, CivilTime& out) noexcept {
  days += 719468;  // from 0000-03-01
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t day_of_era = days - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t month_from_march = (5 * day_of_year + 2) / 153;
  out.day = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  out.month = static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  out.year = year_of_era + era * 400 + (out.month <= 2 ? 1 : 0);
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil), for the years a definition time may name.
std::int64_t days_from_civil(std::int64_t year, int month, int day) noexcept {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

bool is_leap(int year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int year, int month) noexcept {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The value of `count` ASCII digits at `text[at]`, or -1.
int digits(std::string_view text, std::size_t at, std::size_t count) noexcept {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!is_digit(text[i])) return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

CivilTime utc_from_milliseconds(std::int64_t milliseconds) noexcept {
  // The interpreter splits the double into whole seconds and a fraction, scales
  // the fraction to microseconds and rounds it; a carry moves to the seconds.
  const double seconds = static_cast<double>(milliseconds) / 1000.0;
  double whole = 0.0;
  double micros = round_half_even(std::modf(seconds, &whole) * 1e6);
  if (micros >= 1e6) {
    micros -= 1e6;
    whole += 1.0;
  } else if (micros < 0.0) {
    micros += 1e6;
    whole -= 1.0;
  }
  // |whole| <= 2^63 / 1000: in range.
  const auto total = static_cast<std::int64_t>(whole);
  std::int64_t days = total / kSecondsPerDay;
  std::int64_t second_of_day = total % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    days -= 1;
  }
  CivilTime out{};
  civil_from_days(days, out);
  out.hour = static_cast<int>(second_of_day / 3600);
  out.minute = static_cast<int>(second_of_day / 60 % 60);
  out.second = static_cast<int>(second_of_day % 60);
  out.microsecond = static_cast<int>(micros);
  return out;
}

std::optional<CivilTime> parse_definition_time(std::string_view text) noexcept {
  // YYYY-MM-DDTHH:MM:SS, then Z or .f{1,6}Z
  constexpr std::size_t kWhole = 19;
  if (text.size() < kWhole + 1 || text.size() > kWhole + 8 || text.back() != 'Z') return {};
  if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
    return {};
  }
  CivilTime out{};
  int year = digits(text, 0, 4);
  out.month = digits(text, 5, 2);
  out.day = digits(text, 8, 2);
  out.hour = digits(text, 11, 2);
  out.minute = digits(text, 14, 2);
  out.second = digits(text, 17, 2);
  if (year < 1 || out.month < 1 || out.month > 12 || out.day < 1 ||
      out.day > days_in_month(year, out.month) || out.hour < 0 || out.hour > 23 ||
      out.minute < 0 || out.minute > 59 || out.second < 0 || out.second > 59) {
    return {};
  }
  out.year = year;
  if (text.size() > kWhole + 1) {
    // ".f" to ".ffffff": the digits are the leading ones of six.
    const std::size_t count = text.size() - kWhole - 2;
    if (text[kWhole] != '.' || count == 0) return {};
    int fraction = digits(text, kWhole + 1, count);
    if (fraction < 0) return {};
    for (std::size_t i = count; i < 6; ++i) fraction *= 10;
    out.microsecond = fraction;
  }
  return out;
}

namespace {

// The one- or two-character field at text[at] that ends before a character
// of `ends`, as strptime's pattern for it matches: `two` tells which pairs
// it takes. Its value and where its end is, or nullopt.
struct Field {
  int value;
  std::size_t end;
};
template <typename Two>
std::optional<Field> field(std::string_view text, std::size_t at, std::string_view ends,
                           bool spaced, Two two) noexcept {
  std::size_t end = at;
  while (end < text.size() && end - at < 3 && ends.find(text[end]) == std::string_view::npos) ++end;
  if (end == text.size() || end == at || end - at > 2) return std::nullopt;
  char a = text[at], b = text[end - 1];
  if (end - at == 1) return is_digit(a) ? std::optional<Field>({a - '0', end}) : std::nullopt;
  if (spaced && a == ' ' && b >= '1' && b <= '9') return Field{b - '0', end};
  if (!is_digit(a) || !is_digit(b) || !two(a, b)) return std::nullopt;
  return Field{(a - '0') * 10 + (b - '0'), end};
}

}  // namespace

std::optional<CivilTime> parse_definition_time_as_strptime(std::string_view text) noexcept {
  if (std::optional<CivilTime> usual = parse_definition_time(text)) return usual;
  // "%Y-%m-%dT%H:%M:%S.%fZ", then "%Y-%m-%dT%H:%M:%SZ": strptime's patterns
  // ignore case, and take one digit for a two-digit field.
  if (text.size() < 5 || text[4] != '-') return std::nullopt;
  int year = digits(text, 0, 4);
  auto month = field(text, 5, "-", false,
                     [](char a, char b) { return a == '0' ? b != '0' : a == '1' && b <= '2'; });
  if (year < 1 || !month || month->value < 1) return std::nullopt;
  auto day = field(text, month->end + 1, "Tt", true,
                   [](char a, char b) {
                     return a == '0' ? b != '0' : a <= '2' || (a == '3' && b <= '1');
                   });
  if (!day || day->value < 1) return std::nullopt;
  auto hour = field(text, day->end + 1, ":", false,
                    [](char a, char b) { return a <= '1' || (a == '2' && b <= '3'); });
  if (!hour) return std::nullopt;
  auto minute = field(text, hour->end + 1, ":", false, [](char a, char) { return a <= '5'; });
  if (!minute) return std::nullopt;
  auto second = field(text, minute->end + 1, ".Zz", false,
                      [](char a, char b) { return a <= '5' || (a == '6' && b <= '1'); });
  if (!second) return std::nullopt;
  CivilTime out{year, month->value, day->value, hour->value, minute->value, second->value, 0};
  // Seconds 60 and 61 match, and then make no datetime; nor does 30 February.
  if (out.second > 59 || out.day > days_in_month(year, out.month)) return std::nullopt;
  std::size_t at = second->end;
  if (text[at] == '.') {
    std::size_t count = 0;
    int fraction = 0;
    while (++at < text.size() && is_digit(text[at]) && count < 6) {
      fraction = fraction * 10 + (text[at] - '0');
      ++count;
    }
    if (count == 0 || at == text.size()) return std::nullopt;
    for (std::size_t i = count; i < 6; ++i) fraction *= 10;
    out.microsecond = fraction;
  }
  if (at + 1 != text.size() || (text[at] != 'Z' && text[at] != 'z')) return std::nullopt;
  return out;
}

std::optional<std::int64_t> definition_time_milliseconds(std::string_view text) noexcept {
  std::optional<CivilTime> time = parse_definition_time_as_strptime(text);
  if (!time) return std::nullopt;
  std::int64_t seconds = days_from_civil(time->year, time->month, time->day) * kSecondsPerDay +
                         time->hour * 3600 + time->minute * 60 + time->second;
  return seconds * 1000 + time->microsecond / 1000;
}

}  // namespace marrowfin::market
