// Every text of a failed load, in one place: what ValueError carries when a
// stream file cannot be read, decompressed, decoded or parsed. The system's
// own texts for error numbers come from os_error_text (byte_source.hpp).
#pragma once

#include <string_view>

namespace marrowfin::parse::texts {

// Decoding.
inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";
inline constexpr std::string_view kUnexpectedEnd = "unexpected end of file";

// gzip.
inline constexpr std::string_view kInvalidGzipHeader = "invalid gzip header";
inline constexpr std::string_view kGzipFieldTooLong = "gzip header field too long";
inline constexpr std::string_view kCorruptDeflate = "corrupt deflate stream";
inline constexpr std::string_view kGzipChecksum =
    "corrupt gzip stream does not have a matching checksum";

// bzip2.
inline constexpr std::string_view kInvalidBzip2Header = "invalid bzip2 header";
inline constexpr std::string_view kCorruptBzip2 = "corrupt bzip2 stream";

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

}  // namespace marrowfin::parse::texts
