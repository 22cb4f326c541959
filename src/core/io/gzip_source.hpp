// The decompressed bytes of a gzip file (RFC 1952): every member in turn.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "core/io/byte_source.hpp"
#include "core/io/inflater.hpp"

namespace marrowfin::io {

// After a member, zero bytes are skipped; if the next two bytes are the gzip
// magic another member follows, anything else ends the stream unexamined (so
// padding and trailing junk are tolerated). Errors:
//   "invalid gzip header"          wrong magic or compression method
//   "gzip header field too long"   a name or comment over 65535 bytes
//   "corrupt deflate stream"       malformed compressed data
//   "corrupt gzip stream does not have a matching checksum"
//                                  header CRC, trailer CRC-32 or length
//   "unexpected end of file"       input ends inside a member
// or the file's read error. Bytes decoded before a failure are delivered
// first; the failure comes with the next read.
class GzipSource final : public ByteSource {
 public:
  static constexpr std::size_t kInputBlock = 32768;

  GzipSource(std::unique_ptr<ByteSource> file, Inflater::Backend backend);
  [[nodiscard]] ReadResult read(char* out, std::size_t capacity) override;

 private:
  enum class State : std::uint8_t { kHeader, kBody, kTrailer, kNextMember, kDone, kFailed };
  static constexpr int kEnd = -1;
  static constexpr int kError = -2;

  // The next input byte, kEnd at the end of the file or kError (error_ set).
  int next_byte();
  // Refills the input block; false with error_ set on a read error.
  bool refill();
  // Reads a member header after its two magic bytes; empty text on success.
  std::string read_header_rest();
  std::string read_trailer();
  // Looks past zero padding for the magic of another member.
  bool next_member_follows();

  std::unique_ptr<ByteSource> file_;
  std::unique_ptr<Inflater> inflater_;
  std::unique_ptr<std::uint8_t[]> input_;
  std::size_t input_pos_ = 0;
  std::size_t input_end_ = 0;
  bool input_eof_ = false;
  // Bytes the inflater read past the end of a member, served before input_.
  std::array<std::uint8_t, 8> ahead_{};
  std::size_t ahead_pos_ = 0;
  std::size_t ahead_end_ = 0;

  State state_ = State::kHeader;
  bool magic_read_ = false;     // the next member's magic bytes are consumed
  std::uint32_t member_size_ = 0;  // decompressed bytes, modulo 2^32
  std::string error_;
};

}  // namespace marrowfin::io
