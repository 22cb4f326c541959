// RapidJSON's SAX reader, building the same values as the DirectParser
// (members.hpp), and the parser that says why a line is bad: its error codes
// and the bytes around the offset are mapped onto the fixed descriptions of
// error_texts.hpp. LineParser asks it about every line the DirectParser
// rejects.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/json/value.hpp"
#include "core/util/arena.hpp"

namespace marrowfin::json {

// Where and why a line failed to parse.
struct JsonError {
  std::string_view description;  // one of the fixed descriptions
  std::size_t column = 0;        // in bytes from the line start, 1-based
  std::string message() const;   // "<description> at line 1 column <column>"
};

class Reader {
 public:
  Reader();
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Parses text[0, size) in place: strings are unescaped inside the text,
  // which is overwritten. text[size] is a NUL, and LineParser::kPadding
  // readable bytes follow. False with error() set when the text is not
  // exactly one JSON value (nesting at most 128 deep). Throws only
  // std::bad_alloc.
  [[nodiscard]] bool read(char* text, std::size_t size, util::Arena& arena);

  const JsonError& error() const noexcept;
  // After a successful read, as LineParser's accessors of the same names.
  bool root_is_object() const noexcept;
  Value root() const noexcept;
  std::span<const Value> root_members() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace marrowfin::json
