// The decompressed bytes of a bzip2 file: every stream in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/io/byte_source.hpp"
#include "core/io/bzip2_decoder.hpp"
#include "core/io/bzip2_pipeline.hpp"
#include "core/util/page_buffer.hpp"

namespace marrowfin::io {

// With threads (below), the compressed file is read whole at the first read.
// Decoded on the reading thread, it is read as the blocks need it: the
// first `first_input` bytes, then half as much again as the largest block so
// far ahead of the next, 64 kB at least at a time.
// Where the file can be read again (a regular file), what the
// blocks decoded a block at a time are done with is given back as they go,
// so that a load holds little of it beside the values it keeps; the stream
// is read again from the file for libbz2 should it have to decode it. A stream
// starts with the magic "BZh"; after a stream, zero bytes are skipped, and
// anything that does not start with the magic ends the input unexamined (as
// after a gzip member). Errors:
//   "invalid bzip2 header"    no magic at the start, or a bad block size
//   "corrupt bzip2 stream"    malformed data, or a block or stream CRC that
//                             does not match
//   "unexpected end of file"  input ends inside a stream
// or the file's read error, which takes the place of the end of the input.
// Bytes decoded before a failure are delivered first; the failure comes with
// the next read.
//
// Blocks are decoded by bzip2::BlockDecoder, a block at a time. It is only an
// accelerator: where it fails (as on damaged input), the stream is decoded
// again by libbz2 in one pass, its bytes already handed out dropped, and
// libbz2's verdict stands. `libbz2_only` skips it, for tests to compare.
//
// With `threads` above 0, that many threads decode the blocks (Bzip2Pipeline)
// while the reading thread goes on with what they decoded; the bytes and the
// failure are those of one pass. With 0, the reading thread decodes.
//
// With `input_step` above 0 (and `threads` 0), a read returns as soon as it
// has bytes: a block decodes whole before its first byte comes out, so a
// reader that stops early has then decoded no block past the one its last
// bytes came from. (libbz2, where it decodes, is handed at most that many
// compressed bytes at a time, so it looks that far into the next block.)
// The file is then read only as far as the blocks decoded need: from
// `first_input` bytes, twice as far each time a block runs past what is in
// (whole, once libbz2 has to decode), so that a reader of the first block
// of a large file does not read, nor hold, the rest of it. A block's first
// bytes then come out before the rest of it is walked (BlockDecoder::peek),
// unchecked until the next read completes the block: a reader of a first
// line rarely needs the rest. Bytes handed out so are those that the whole
// block, or libbz2 after a failure, would give first.
class Bzip2Source final : public ByteSource {
 public:
  // One per usable core (at most 8) when there are two or more: blocks are
  // decoded side by side while the reading thread goes on parsing. 0 on one
  // core, where the reading thread decodes.
  [[nodiscard]] static unsigned default_threads() noexcept;

  // What a source that decodes on the reading thread reads first: a first
  // block of text compresses to well under it. Tests make it tiny.
  static constexpr std::size_t kFirstInput = std::size_t{256} << 10;

  explicit Bzip2Source(std::unique_ptr<ByteSource> file, unsigned threads = default_threads(),
                       std::size_t input_step = 0, bool libbz2_only = false,
                       std::size_t first_input = kFirstInput);
  ~Bzip2Source() override;
  Bzip2Source(const Bzip2Source&) = delete;
  Bzip2Source& operator=(const Bzip2Source&) = delete;

  [[nodiscard]] ReadResult read(char* out, std::size_t capacity) override;

  // For a reader with an input step that will decode all of the file after
  // all (a load going on from a first definition): the next read first reads
  // the rest of the file, so that no block runs past what is in and is
  // decoded again, and no block's start is handed out before the whole is
  // walked. Nothing more is read until then: a filter may still skip it.
  void read_rest() noexcept;

  // The bytes of the compressed file it holds now.
  std::size_t input_held() const noexcept { return input_.size() - dropped_; }

  // The text that a block's first peek walks: a first line of a few
  // kilobytes, and the first read of a reader of lines.
  static constexpr std::size_t kPeek = std::size_t{16} << 10;

 private:
  enum class State : std::uint8_t {
    kUnread,
    kStreamStart,
    kBlocks,    // a block at a time, on this thread
    kStream,    // libbz2 in one pass
    kPipeline,  // blocks side by side
    kNextStream,
    kDone,
    kFailed,
  };
  class Stream;  // libbz2's decoder of one stream

  // Decodes the stream at pos_ with the pipeline if it may, else a block at
  // a time, else (with a bad header, for its verdict) with libbz2.
  void begin_stream();
  // Decodes the next block of the stream into decoder_->out(), or checks the stream's
  // end. False when the decoder gave up.
  bool next_block();
  // The same with what is in: false also for a block that runs past it.
  bool try_block();
  // Completes the block whose start peek() handed out: false when the
  // decoder gave up.
  bool complete_block();
  // Moves on past a block whose bytes are in decoder_->out().
  void end_block(const bzip2::BlockDecoder::Block& block);
  // Decodes the stream that started at stream_start_ again with libbz2,
  // dropping the `delivered` bytes that came out of it already. The failure's
  // text when its bytes given back cannot be read again, else empty.
  [[nodiscard]] std::string decode_again(std::uint64_t delivered);
  // Gives back the input before byte `pos`, when it can be read again.
  void drop_before(std::size_t pos) noexcept;

  // Reads the file into input_ until it holds `least` bytes or the file has
  // ended (input_whole_); a read error is kept in input_error_ and ends it.
  void read_input(std::size_t least);
  // Doubles what is in, for a block that ran past it: false when the file
  // was in whole already.
  bool read_more();
  // Frees the input and the decoders once the source has ended or failed.
  void release() noexcept;
  // The text for input that ends too early: the read error if there was one.
  std::string end_text() const;

  std::unique_ptr<ByteSource> file_;
  util::PageBuffer input_;
  std::size_t dropped_ = 0;  // input_[0, dropped_) was given back
  bool input_whole_ = false;
  std::string input_error_;
  std::size_t pos_ = 0;  // next input byte not handed to a decoder
  std::unique_ptr<Stream> stream_;
  unsigned threads_;
  std::size_t input_step_;  // 0: all there is
  std::size_t first_input_;
  std::unique_ptr<Bzip2Pipeline> pipeline_;
  std::uint64_t skip_ = 0;  // bytes handed out before a faster decoder gave up
  bool libbz2_only_;

  // A block at a time.
  std::unique_ptr<bzip2::BlockDecoder> decoder_;
  bool peek_;  // a block's start may be handed out before it is complete
  bool rest_wanted_ = false;  // read_rest() was called: the next read reads the file whole
  bool partial_ = false;  // decoder_->out() holds a block's start only
  std::size_t peeked_ = 0;  // bytes handed out of the block at bit_
  bzip2::BlockDecoder::Block pending_;  // the block peeked
  std::size_t block_pos_ = 0;  // the first of the block's bytes not handed out
  std::size_t stream_start_ = 0;
  std::uint64_t bit_ = 0;  // the next marker
  std::size_t largest_block_ = 0;  // of the file's blocks so far, in bytes
  char level_ = '9';
  std::uint32_t crc_ = 0;  // the stream's, from its blocks decoded
  std::uint64_t delivered_ = 0;  // the stream's bytes handed out
  State state_ = State::kUnread;
  std::string error_;
};

}  // namespace marrowfin::io
