// Turning a stream file into the list of kept messages.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/arena.hpp"
#include "core/util/huge_pages.hpp"
#include "core/util/prefetch.hpp"
#include "core/io/byte_sink.hpp"
#include "core/io/encoding.hpp"
#include "core/io/inflater.hpp"
#include "core/json/line_parser.hpp"
#include "core/json/value.hpp"

namespace marrowfin::load {

// One kept line: its market changes and its publish time (always > 0).
struct ParsedMessage {
  std::span<const json::Value> market_changes;
  std::int64_t publish_time;
};

// Starts fetching the first values of the messages after `index`: a fold
// reaches each message long after the load parsed it, so reaching one misses
// the cache unless the fetch overlapped the work on the message before.
inline void prefetch_after(std::span<const ParsedMessage> messages, std::size_t index) noexcept {
  if (index + 2 < messages.size()) util::prefetch(messages[index + 2].market_changes.data());
  if (index + 1 < messages.size()) {
    std::span<const json::Value> changes = messages[index + 1].market_changes;
    if (!changes.empty()) util::prefetch(changes.front().members().data());
  }
}

// The kept messages of one file and the arena that holds their values.
struct MessageStore {
  util::Arena arena;
  std::vector<ParsedMessage, util::HugePageAllocator<ParsedMessage>> messages;
};

// Appends the message of a line just parsed by `parser` when the loader keeps
// it: a root object with an integer "pt" above 0 and an "mc" array, or a bare
// market change (with "marketDefinition" or "rc"), which becomes the
// message's only change and is copied into `arena`. False when it is
// skipped (its values may then be rolled back).
bool keep_line(json::LineParser& parser, util::Arena& arena,
               std::vector<ParsedMessage>& messages);

// Either the messages or the text of the failure (the ValueError message),
// or neither when the load was interrupted (LoadOptions::interrupted).
struct LoadResult {
  std::unique_ptr<MessageStore> store;  // null on failure
  std::string error;
  bool interrupted = false;
};

// How a load spreads its work. The result never depends on it.
struct LoadOptions {
  static constexpr std::size_t kDefaultChunkSize = std::size_t{1} << 20;
  // Bytes of whole lines parsed as one piece of work (a longer line makes
  // its piece longer), at most 64 KiB on one thread. Tests make it tiny to
  // cut the input everywhere.
  std::size_t chunk_size = kDefaultChunkSize;
  // Threads that parse, the calling one among them; 0 for one per core.
  // An input of one chunk is parsed on the calling thread alone.
  unsigned threads = 0;
  // Threads that decode bzip2 beside the reading one (Bzip2Source); -1 for
  // its default.
  int bzip2_threads = -1;
  // How lines are parsed; the reader alone only to compare with.
  json::LineParser::Method json_method = json::LineParser::Method::kDirect;
  // The most bytes the file may decode to, 0 for no limit: past it the load
  // fails with the limit's text before memory fills.
  std::uint64_t max_decoded_bytes = 0;
  // Asked on the calling thread before every block it reads (128 KiB of
  // decoded input, ChunkReader::kReadBlock); true stops the load, which then
  // keeps nothing and says it was interrupted. The bindings check for
  // signals here, so Ctrl-C takes effect within a block.
  std::function<bool()> interrupted = {};
  // When set, every decoded byte goes to it too, in order, on the calling
  // thread (io::TeeSource), after the size limit: a load that succeeds has
  // copied exactly the text it parsed. Its failure fails the load with its
  // text. Not owned.
  io::ByteSink* copy_to = nullptr;
};

// How a streamed load ended: it read the whole file (ok), or the text of its
// failure (the ValueError message), or it was interrupted.
struct StreamResult {
  std::string error;
  bool interrupted = false;
  bool ok() const noexcept { return error.empty() && !interrupted; }
};

// Takes the kept messages of one chunk, in file order; their values live
// until it returns.
using TakeMessages = std::function<void(std::span<const ParsedMessage>)>;

// The file at `path` read, decoded and parsed on the calling thread alone, a
// chunk of 64 KiB at a time, each chunk's messages handed to `take` and
// freed: a fold of them holds a chunk of the file, not all of it. The
// messages and the failure are those load_messages gives (`take` has seen
// the messages before a failure); options.threads and chunk_size are not
// looked at. Throws only std::bad_alloc, and what `take` throws.
[[nodiscard]] StreamResult stream_messages(std::string_view path, const LoadOptions& options,
                                           const TakeMessages& take);
// The same from a source that has the decoded bytes already (a first
// definition's, FirstDefinition::source).
[[nodiscard]] StreamResult stream_decoded(std::unique_ptr<io::ByteSource> decoded,
                                          const LoadOptions& options, const TakeMessages& take);

// Reads, decodes and parses the file at `path` (bytes without NUL; the caller
// checks). The file is closed before returning, and nothing of a failed load
// is kept; of several failures, the one earliest in the file is reported.
// The calling thread reads and decodes; parsing is spread over threads that
// are all joined before returning. Never throws except std::bad_alloc.
[[nodiscard]] LoadResult load_messages(std::string_view path);
// The same with a chosen gzip backend and work split, for tests and benchmarks.
[[nodiscard]] LoadResult load_messages(std::string_view path, io::Inflater::Backend backend,
                                       const LoadOptions& options = {});
// A file's decoded bytes from a source that has them already (a first
// definition's, FirstDefinition::source), parsed as load_messages parses.
[[nodiscard]] LoadResult load_decoded(std::unique_ptr<io::ByteSource> decoded,
                                      const LoadOptions& options = {});
// A file's bytes already in memory, through the same decoding and parsing;
// `encoding` stands for the file name's extension. For tests and fuzzing.
[[nodiscard]] LoadResult load_messages_from_bytes(std::string_view bytes, io::Encoding encoding,
                                                  io::Inflater::Backend backend,
                                                  const LoadOptions& options = {});

}  // namespace marrowfin::load
