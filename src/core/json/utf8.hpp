// Byte-level checks on the text of one line: strict UTF-8 validation and the
// blank-line test.
#pragma once

#include <string_view>

namespace marrowfin::json {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;
// True when every byte of `text` is ASCII (which is valid UTF-8).
[[nodiscard]] bool is_ascii(std::string_view text) noexcept;

// True when `text` (valid UTF-8) consists only of characters with the Unicode
// White_Space property, or is empty.
[[nodiscard]] bool is_blank(std::string_view text) noexcept;

}  // namespace marrowfin::json
