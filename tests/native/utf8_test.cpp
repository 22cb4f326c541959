#include "parse/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace marrowfin::parse {
namespace {

using namespace std::string_view_literals;

TEST(Utf8, AcceptsWellFormedText) {
  const std::string_view valid[] = {
      ""sv,
      "plain ascii with a NUL \0 inside"sv,
      "\xC2\x80 \xDF\xBF"sv,                   // 2-byte bounds
      "\xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80"sv,  // 3-byte bounds around surrogates
      "\xEF\xBF\xBF"sv,
      "\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"sv,   // U+10000, U+10FFFF
      "\xE2\x82\xAC"sv,
  };
  for (std::string_view text : valid) {
    EXPECT_TRUE(is_valid_utf8(text)) << text;
    // The word-at-a-time path must agree wherever the sequence falls.
    for (std::size_t pad = 1; pad < 40; pad += 7) {
      std::string padded = std::string(pad, 'a') + std::string(text) + std::string(pad, 'b');
      EXPECT_TRUE(is_valid_utf8(padded)) << pad;
    }
  }
}

TEST(Utf8, RejectsMalformedText) {
  const std::string_view invalid[] = {
      "\x80"sv,              // lone continuation
      "\xC0\x80"sv,          // overlong NUL
      "\xC1\xBF"sv,          // overlong
      "\xC2"sv,              // truncated
      "\xC2\x41"sv,          // bad continuation
      "\xE0\x9F\xBF"sv,      // overlong 3-byte
      "\xED\xA0\x80"sv,      // surrogate U+D800
      "\xED\xBF\xBF"sv,      // surrogate U+DFFF
      "\xE2\x82"sv,          // truncated
      "\xF0\x8F\xBF\xBF"sv,  // overlong 4-byte
      "\xF4\x90\x80\x80"sv,  // above U+10FFFF
      "\xF5\x80\x80\x80"sv,
      "\xFF"sv,
      "\xF0\x90\x80"sv,  // truncated
  };
  for (std::string_view text : invalid) {
    EXPECT_FALSE(is_valid_utf8(text));
    for (std::size_t pad = 1; pad < 40; pad += 7) {
      std::string padded = std::string(pad, 'a') + std::string(text) + std::string(pad, 'b');
      EXPECT_FALSE(is_valid_utf8(padded)) << pad;
      // Truncation at the very end of the text.
      EXPECT_FALSE(is_valid_utf8(std::string(pad, 'a') + std::string(text))) << pad;
    }
  }
}

TEST(Blank, OnlyUnicodeWhiteSpaceIsBlank) {
  const std::string_view blank[] = {
      ""sv, " "sv, "\t\n\v\f\r"sv, "\r"sv,
      "\xC2\x85\xC2\xA0\xE1\x9A\x80"sv,                    // U+0085 U+00A0 U+1680
      "\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"sv,  // U+2000 U+200A U+2028 U+2029
      "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"sv,            // U+202F U+205F U+3000
  };
  for (std::string_view text : blank) EXPECT_TRUE(is_blank(text)) << text;
  const std::string_view not_blank[] = {
      "x"sv,
      " {}"sv,
      "\0"sv,
      "\x1C"sv,            // information separators are not White_Space
      "\xEF\xBB\xBF"sv,    // U+FEFF byte-order mark
      "\xE2\x80\x8B"sv,    // U+200B zero width space
      "\xE1\xA0\x8E"sv,    // U+180E
      "\xE2\x81\xA0"sv,    // U+2060
      "\xC2\xA1"sv,
      "  \xE3\x80\x81"sv,  // U+3001
  };
  for (std::string_view text : not_blank) EXPECT_FALSE(is_blank(text)) << text;
}

}  // namespace
}  // namespace marrowfin::parse
