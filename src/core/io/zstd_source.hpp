// The decompressed bytes of a zstd file: every frame in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/io/byte_source.hpp"

namespace marrowfin::io {

// Streamed: the file is read kInputBlock bytes at a time and libzstd keeps at
// most a frame's window (128 MiB at the most, far less for a frame of known
// small size) besides. A file is a run of frames; skippable frames (magic
// 0x184D2A50 to 0x184D2A5F) are passed over, as libzstd's own tools do. After a
// frame, zero bytes are skipped, and anything that does not start with either
// magic ends the input unexamined (as after a gzip member or a bzip2 stream);
// only the first frame must be there. Errors:
//   "invalid zstd header"     no magic at the start, or a frame header with a
//                             reserved bit or an unknown field set
//   "unsupported zstd frame"  a frame that needs a dictionary, or a window
//                             over 128 MiB
//   "corrupt zstd stream"     malformed data, a content size or checksum that
//                             does not match
//   "unexpected end of file"  input ends inside a frame
// or the file's read error, which takes the place of the end of the input.
// Bytes decoded before a failure are delivered first; the failure comes with
// the next read. (Not what libzstd wrote in the step that failed, which it
// does not count: how much that is depends on the sizes of the reads.)
class ZstdSource final : public ByteSource {
 public:
  // Two of libzstd's largest blocks: most blocks then lie whole in the input
  // and are decoded from it without a copy.
  static constexpr std::size_t kInputBlock = std::size_t{1} << 18;

  explicit ZstdSource(std::unique_ptr<ByteSource> file);
  ~ZstdSource() override;
  ZstdSource(const ZstdSource&) = delete;
  ZstdSource& operator=(const ZstdSource&) = delete;

  [[nodiscard]] ReadResult read(char* out, std::size_t capacity) override;

 private:
  enum class State : std::uint8_t { kFirstFrame, kFrame, kSkipFrame, kNextFrame, kDone, kFailed };
  enum class Magic : std::uint8_t { kFrame, kSkippable, kPartial, kOther };
  class Decoder;  // libzstd's decompression context

  // Reads more input behind what is unread; false at the end of the file or
  // on a read error (kept in input_error_, which then stands for the end).
  bool refill();
  // What the next four input bytes start: kPartial when the input ends
  // within them while they still match a magic.
  Magic next_magic();
  // Starts the frame whose magic (kFrame or kSkippable) is at the unread
  // input; empty text on success.
  std::string begin_frame(Magic magic);
  // Frees the input and the decoder once the source has ended or failed.
  void release() noexcept;
  // The text for input that ends too early: the read error if there was one.
  std::string end_text() const;
  std::size_t unread() const noexcept { return end_ - pos_; }

  std::unique_ptr<ByteSource> file_;
  std::unique_ptr<Decoder> decoder_;
  std::unique_ptr<char[]> input_;
  std::size_t pos_ = 0;  // next unread input byte
  std::size_t end_ = 0;  // end of the input read
  bool input_ended_ = false;
  std::string input_error_;
  std::uint64_t skip_left_ = 0;  // bytes of a skippable frame yet to pass over
  // The frame's content size as its header gives it (or libzstd's marks for
  // none and for a header it cannot read), and the bytes it gave so far.
  unsigned long long content_size_ = 0;
  std::uint64_t frame_produced_ = 0;
  std::size_t header_size_ = 0;  // of the frame's header, until libzstd was handed it
  State state_ = State::kFirstFrame;
  std::string error_;
};

}  // namespace marrowfin::io
