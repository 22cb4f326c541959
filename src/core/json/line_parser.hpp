// Parsing one line of text into the compact value model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/json/reader.hpp"
#include "core/json/value.hpp"
#include "core/util/arena.hpp"

namespace marrowfin::json {

struct JsonResult {
  json::Value value;  // valid when error is empty; storage lives in the arena
  std::string error;  // "<description> at line 1 column C" on failure
};

// Parses lines one after another, reusing its scratch space between lines.
//
// A line goes through the DirectParser (direct_parser.hpp); only a line it
// rejects is parsed again by the Reader (reader.hpp), which gives the
// description and column; it parses in place and overwrites the text.
// A root object's members stay in the parser's scratch space, so that a line
// that is not kept costs nothing in the arena; materialize_root() moves them
// into the arena when it is kept.
class LineParser {
 public:
  enum class Method : std::uint8_t {
    kDirect,  // the direct parser, the reader for a rejected line
    kReader,  // the reader alone, which tests and fuzzers compare with
  };

  // The line must be followed by one writable byte (the parser puts a NUL
  // there) and then kPadding readable bytes: vector loads may read past the
  // end of a line, never past the padding.
  static constexpr std::size_t kPadding = 32;

  explicit LineParser(Method method = Method::kDirect);
  ~LineParser();
  LineParser(const LineParser&) = delete;
  LineParser& operator=(const LineParser&) = delete;

  // Parses text[0, size), which must be valid UTF-8. Returns false with
  // error() set when the text is not exactly one JSON value. Throws only
  // std::bad_alloc (also for a line too large for the value model's sizes).
  [[nodiscard]] bool parse(char* text, std::size_t size, util::Arena& arena);

  const JsonError& error() const noexcept;

  // After a successful parse:
  // True when the root is an object; its members are root_members().
  bool root_is_object() const noexcept;
  // The root when it is not an object (its storage is in the arena).
  json::Value root() const noexcept;
  // The root object's kept members, sorted by key, unique; valid until the
  // next parse.
  std::span<const json::Value> root_members() const noexcept;
  // Copies the root object's members into `arena` and returns the object.
  json::Value materialize_root(util::Arena& arena);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Parses `text` as exactly one JSON value (white space around it allowed,
// nesting at most 128 deep) into `arena`, as the loader parses a line.
// Members that nothing reads are dropped. For tests and fuzzers.
// Text that is not valid UTF-8 fails with "stream did not contain valid UTF-8".
[[nodiscard]] JsonResult parse_json(std::string_view text, util::Arena& arena,
                                    LineParser::Method method = LineParser::Method::kDirect);

}  // namespace marrowfin::json
