// Turning a stream file into the list of kept messages.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/parse/arena.hpp"
#include "core/parse/encoding.hpp"
#include "core/parse/inflater.hpp"
#include "core/parse/json_value.hpp"

namespace marrowfin::parse {

// One kept line: its market changes and its publish time (always > 0).
struct ParsedMessage {
  std::span<const json::Value> market_changes;
  std::int64_t publish_time;
};

// The kept messages of one file and the arena that holds their values.
struct MessageStore {
  Arena arena;
  std::vector<ParsedMessage> messages;
};

// Either the messages or the text of the failure (the ValueError message).
struct LoadResult {
  std::unique_ptr<MessageStore> store;  // null on failure
  std::string error;
};

// Reads, decodes and parses the file at `path` (bytes without NUL; the caller
// checks). The file is closed before returning, and nothing of a failed load
// is kept. Never throws except std::bad_alloc.
[[nodiscard]] LoadResult load_messages(std::string_view path);
// The same with a chosen gzip backend, for tests and benchmarks.
[[nodiscard]] LoadResult load_messages(std::string_view path, Inflater::Backend backend);
// A file's bytes already in memory, through the same decoding and parsing;
// `encoding` stands for the file name's extension. For tests and fuzzing.
[[nodiscard]] LoadResult load_messages_from_bytes(std::string_view bytes, Encoding encoding,
                                                  Inflater::Backend backend);

}  // namespace marrowfin::parse
