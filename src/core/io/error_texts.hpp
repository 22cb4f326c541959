// The texts of a failed read or decompression: what ValueError carries when a
// stream file cannot be read or decompressed. The system's own texts for
// error numbers come from os_error_text (byte_source.hpp); the texts of
// decoding and parsing are in json/error_texts.hpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace marrowfin::io::texts {

// Any compressed input.
inline constexpr std::string_view kUnexpectedEnd = "unexpected end of file";

// A read stopped by its owner (GuardedSource); the owner reports it its own
// way, so the text never reaches a user.
inline constexpr std::string_view kStopped = "stopped";
// A stream that decodes to more than `limit` bytes (GuardedSource), in the
// words marrowfin_tools uses for a member's copy: "larger than the size limit
// of 4 GiB once decoded" (a size that is no whole number of a unit in bytes,
// "1,000 bytes").
std::string decoded_limit(std::uint64_t limit);

// gzip.
inline constexpr std::string_view kInvalidGzipHeader = "invalid gzip header";
inline constexpr std::string_view kGzipFieldTooLong = "gzip header field too long";
inline constexpr std::string_view kCorruptDeflate = "corrupt deflate stream";
inline constexpr std::string_view kGzipChecksum =
    "corrupt gzip stream does not have a matching checksum";

// bzip2.
inline constexpr std::string_view kInvalidBzip2Header = "invalid bzip2 header";
inline constexpr std::string_view kCorruptBzip2 = "corrupt bzip2 stream";

// zstd.
inline constexpr std::string_view kInvalidZstdHeader = "invalid zstd header";
inline constexpr std::string_view kCorruptZstd = "corrupt zstd stream";
// A well-formed frame this reader will not decode: one made with a dictionary,
// or one whose window is over the 128 MiB a decoder keeps in memory.
inline constexpr std::string_view kUnsupportedZstdFrame = "unsupported zstd frame";

}  // namespace marrowfin::io::texts
