// Stream times to Python datetime objects of the class `datetime.datetime`
// names. The class is looked up on every call (import, then attribute), never
// cached, so code that patches the datetime module is seen. The interpreter's
// own class gets its values made here, any other one is called.
#pragma once

#include "bindings/common/compat.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "bindings/common/py_ref.hpp"

namespace marrowfin::bindings {

// Notes the interpreter's own builtins.__import__ (once per process, after
// the strings exist). Returns -1 with an error set.
[[nodiscard]] int init_time_conversion() noexcept;

// None (no import) for an absent text; else a naive datetime as strptime
// parses it with "%Y-%m-%dT%H:%M:%S.%fZ", then "%Y-%m-%dT%H:%M:%SZ" (made here
// for the two usual forms, else strptime is called). `aware` gives the same
// time with tzinfo timezone.utc (the parsed value's replace(tzinfo=...)).
// Returns a new reference, or an empty Ref with the error of the last attempt set.
py::Ref parse_datetime_or_none(const std::optional<std::string>& text, bool aware = false) noexcept;

// The value of datetime.utcfromtimestamp(milliseconds / 1000.0), made here
// (without the method's deprecation warning) for the interpreter's own class;
// `aware`: of datetime.fromtimestamp(milliseconds / 1000.0, timezone.utc), the
// same time with tzinfo. Returns a new reference, or an empty Ref with the
// interpreter's error set.
py::Ref publish_time_to_datetime(std::int64_t milliseconds, bool aware = false) noexcept;

}  // namespace marrowfin::bindings
