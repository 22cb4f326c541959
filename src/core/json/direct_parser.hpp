// The loader's JSON parser: one pass over a line that writes its values
// straight into the arena.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/util/arena.hpp"
#include "core/json/value.hpp"

namespace marrowfin::json {

// Builds the same values as the reader of json_reader.hpp (members that
// nothing reads dropped, ladders packed, members sorted by key with the last
// of a repeated key winning) and accepts exactly the lines it accepts, but
// says nothing about why a line is bad: LineParser asks the reader for that.
class DirectParser {
 public:
  DirectParser();

  // Parses text[0, size), which must be valid UTF-8 and followed by a NUL
  // byte and then 32 readable bytes (vector loads and digit runs may read
  // past the end of a line, never past that padding). The text is not
  // changed. False when the text is not exactly one JSON value; the arena
  // may then hold some of its values. Throws only std::bad_alloc.
  [[nodiscard]] bool parse(const char* text, std::size_t size, util::Arena& arena);

  // After a successful parse:
  // True when the root is an object; its members are root_members().
  bool root_is_object() const noexcept { return root_is_object_; }
  // The root when it is not an object (its storage is in the arena).
  json::Value root() const noexcept { return root_; }
  // The root object's kept members, sorted by key, unique; valid until the
  // next parse.
  std::span<const json::Value> root_members() const noexcept { return root_members_; }

 private:
  friend class DirectPass;

  // Values of the containers still open, innermost last.
  std::vector<json::Value> stack_;
  // Pairs of the ladder being read.
  std::vector<json::Level> levels_;
  std::vector<json::Value> root_members_;
  std::string unescaped_;  // a key with escapes, decoded
  json::Value root_;
  bool root_is_object_ = false;
};

}  // namespace marrowfin::json
