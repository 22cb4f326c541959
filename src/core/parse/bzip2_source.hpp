// The decompressed bytes of a bzip2 file: every stream in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/parse/byte_source.hpp"

namespace marrowfin::parse {

// The compressed file is read whole at the first read (it is far smaller than
// what a load keeps of it). A stream starts with the magic "BZh"; after a
// stream, zero bytes are skipped, and anything that does not start with the
// magic ends the input unexamined (as after a gzip member). Errors:
//   "invalid bzip2 header"    no magic at the start, or a bad block size
//   "corrupt bzip2 stream"    malformed data, or a block or stream CRC that
//                             does not match
//   "unexpected end of file"  input ends inside a stream
// or the file's read error, which takes the place of the end of the input.
// Bytes decoded before a failure are delivered first; the failure comes with
// the next read.
class Bzip2Source final : public ByteSource {
 public:
  explicit Bzip2Source(std::unique_ptr<ByteSource> file);
  ~Bzip2Source() override;
  Bzip2Source(const Bzip2Source&) = delete;
  Bzip2Source& operator=(const Bzip2Source&) = delete;

  [[nodiscard]] ReadResult read(char* out, std::size_t capacity) override;

 private:
  enum class State : std::uint8_t { kUnread, kStreamStart, kStream, kNextStream, kDone, kFailed };
  class Stream;  // libbz2's decoder of one stream

  // Reads the whole file into input_; a read error is kept in input_error_.
  void read_input();
  // The text for input that ends too early: the read error if there was one.
  std::string end_text() const;

  std::unique_ptr<ByteSource> file_;
  std::string input_;
  std::string input_error_;
  std::size_t pos_ = 0;  // next input byte not handed to a decoder
  std::unique_ptr<Stream> stream_;
  State state_ = State::kUnread;
  std::string error_;
};

}  // namespace marrowfin::parse
