// The stream's two kinds of time as calendar fields (proleptic Gregorian, UTC),
// computed the way the interpreter's datetime computes them, so that the
// binding can build the very datetime its class methods would return.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace marrowfin::market {

struct CivilTime {
  std::int64_t year;  // may lie outside 1..9999; the datetime class rejects it
  int month;          // 1..12
  int day;            // 1..31
  int hour;
  int minute;
  int second;
  int microsecond;
  friend bool operator==(const CivilTime&, const CivilTime&) = default;
};

// The UTC time of `milliseconds` since the epoch as utcfromtimestamp gives it
// for the double milliseconds / 1000.0: the seconds pass through that double,
// then its fraction is rounded to microseconds half to even (so near year 9999
// a millisecond is no longer exact).
CivilTime utc_from_milliseconds(std::int64_t milliseconds) noexcept;

// A definition time in one of its two usual forms, "YYYY-MM-DDTHH:MM:SS.fZ"
// (1 to 6 fraction digits) and "YYYY-MM-DDTHH:MM:SSZ": ASCII digits, two of
// them per field, uppercase T and Z, and a date and time that exist (year
// 1..9999, seconds 0..59). Anything else is nullopt, including texts that
// strptime accepts or rejects in its own words: those are left to it.
std::optional<CivilTime> parse_definition_time(std::string_view text) noexcept;

// A definition time as strptime reads it with either of the two forms'
// formats, where it makes a datetime: also with a lowercase t or z, and
// one-digit fields (a day also as a space and a digit). Unicode digits other
// than ASCII's, which it takes too, are nullopt.
std::optional<CivilTime> parse_definition_time_as_strptime(std::string_view text) noexcept;

// Milliseconds since the epoch of a definition time that
// parse_definition_time_as_strptime reads, its microseconds cut down to the
// millisecond (towards the past); nullopt for any other text.
std::optional<std::int64_t> definition_time_milliseconds(std::string_view text) noexcept;

}  // namespace marrowfin::market
