// The first market definition of a stream file, read from its start and no
// further: what a filter on a recording's market decides on, at the cost of
// the bytes up to that line rather than of the whole file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/io/byte_source.hpp"
#include "core/io/encoding.hpp"
#include "core/json/value.hpp"
#include "core/util/arena.hpp"

namespace marrowfin::load {

struct FirstDefinition {
  // The definition, when found: a market change holding the first
  // "marketDefinition" object alone (for MarketCache::update), the market it
  // goes to and the publish time of its message. Its values live in `arena`.
  bool found = false;
  std::string market_id;
  std::int64_t publish_time = 0;
  json::Value change;
  std::unique_ptr<util::Arena> arena;
  // Not found: the text of the read, decoding or parsing failure that came
  // first (the load's text for it), or empty when the file has no definition.
  std::string error;
  // Not found either: DefinitionOptions::interrupted stopped the read.
  bool interrupted = false;
  // Decoded bytes read, to see how far decoding went.
  std::uint64_t bytes_decoded = 0;
  // Found, with DefinitionOptions::keep_source: the file's decoded bytes
  // from its start again, those read so far and then the rest of the same
  // source, for a load that goes on from here (load_decoded) instead of
  // decoding them again. Its size limit and interruptions are the load's.
  std::unique_ptr<io::ByteSource> source;
};

// The bytes asked of the decoder at a time: decoding stops within this much
// past the line that holds the definition (for bzip2, the codes of the block
// that holds it are read whole, and the first 16 KiB of its text walked, or
// all of it when the line runs past; see Bzip2Source's input step).
inline constexpr std::size_t kDefinitionReadStep = std::size_t{16} << 10;

// What a load's options say of a read (LoadOptions): the most bytes the file
// may decode to (0 for no limit; past it, the limit's text), and what is
// asked before every read of the decoder, true stopping the read.
struct DefinitionOptions {
  std::uint64_t max_decoded_bytes = 0;
  std::function<bool()> interrupted = {};
  bool keep_source = false;  // FirstDefinition::source
};

// Lines are taken as the loader keeps them, and a change goes to a market by
// the iterator's rule: its own "id" (a non-empty string), else the first
// market named in the file; a change before any market is named goes to none
// and does not count. The first kept change holding a "marketDefinition"
// object that goes to a market is the one. Reads `path` (bytes without NUL;
// the caller checks) decoded as its name says. Throws only std::bad_alloc.
[[nodiscard]] FirstDefinition read_first_definition(std::string_view path,
                                                    const DefinitionOptions& options = {});
// The same from any source, decoded as `encoding` says. For tests.
[[nodiscard]] FirstDefinition read_first_definition(std::unique_ptr<io::ByteSource> file,
                                                    io::Encoding encoding,
                                                    const DefinitionOptions& options = {});

}  // namespace marrowfin::load
