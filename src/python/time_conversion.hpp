// Stream times to Python datetime objects, through the interpreter's own
// datetime.datetime class. The class is looked up on every call (import, then
// attribute), never cached, so code that patches the datetime module is seen.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "python/py_ref.hpp"

namespace marrowfin::market {

// Notes the interpreter's own builtins.__import__ (once per process, after
// the strings exist). Returns -1 with an error set.
[[nodiscard]] int init_time_conversion() noexcept;

// None (no import) for an absent text; else a naive datetime parsed with
// "%Y-%m-%dT%H:%M:%S.%fZ", then "%Y-%m-%dT%H:%M:%SZ". Returns a new reference,
// or an empty Ref with the error of the last attempt set.
py::Ref parse_datetime_or_none(const std::optional<std::string>& text) noexcept;

// datetime.utcfromtimestamp(milliseconds / 1000.0). Returns a new reference,
// or an empty Ref with the interpreter's error set.
py::Ref publish_time_to_datetime(std::int64_t milliseconds) noexcept;

}  // namespace marrowfin::market
