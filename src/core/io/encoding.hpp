// How a stream file is stored, as its name says, and the decoder for it.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/io/byte_source.hpp"
#include "core/io/inflater.hpp"

namespace marrowfin::io {

enum class Encoding : std::uint8_t { kPlain, kGzip, kBzip2, kZstd };

// By the extension of the final component of `path` alone, never by content:
// the text after its last dot, when that dot is not the component's first
// character ("gz" or "gzip": gzip, "bz2": bzip2, "zst": zstd, exact bytes;
// anything else plain). A trailing "/" does not start a new component; ".." has none.
[[nodiscard]] Encoding encoding_from_name(std::string_view path) noexcept;

// The decoded bytes of `file` (`file` itself when plain); `bzip2_threads` as
// Bzip2Source takes them.
[[nodiscard]] std::unique_ptr<ByteSource> decoded(std::unique_ptr<ByteSource> file,
                                                  Encoding encoding, Inflater::Backend backend,
                                                  unsigned bzip2_threads);

}  // namespace marrowfin::io
