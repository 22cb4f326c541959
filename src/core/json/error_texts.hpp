// The texts of a line that cannot be decoded or parsed: what ValueError
// carries for it. Reading and decompressing have theirs in io/error_texts.hpp.
#pragma once

#include <string_view>

namespace marrowfin::json::texts {

// Decoding.
inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

// JSON: a description, then " at line 1 column C" (JsonError::message).
inline constexpr std::string_view kEofInList = "EOF while parsing a list";
inline constexpr std::string_view kEofInObject = "EOF while parsing an object";
inline constexpr std::string_view kEofInString = "EOF while parsing a string";
inline constexpr std::string_view kEofInValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedCommaOrBracket = "expected `,` or `]`";
inline constexpr std::string_view kExpectedCommaOrBrace = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr std::string_view kRecursionLimit = "recursion limit exceeded";

}  // namespace marrowfin::json::texts
