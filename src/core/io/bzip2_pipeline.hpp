// The blocks of one bzip2 stream decoded on several threads at once and
// handed out in order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/util/page_buffer.hpp"

namespace marrowfin::io {

namespace bzip2 {
class BlockDecoder;
}

// The blocks of a file's bzip2 streams, decoded on several threads at once
// and handed out in order. Blocks are found by their markers
// (bzip2_blocks.hpp) and each is decoded alone (bzip2::BlockDecoder, which
// checks the block's CRC); a stream's CRC is checked from its block CRCs
// at its end. One stream leads into the next when, after zero bytes, a
// header and a first marker follow at once. Only an accelerator: when
// anything does not check out (a piece between two markers that does not
// decode alone, as when compressed data holds a marker's pattern by chance;
// no end marker; a stream CRC that does not match) it gives up, having handed
// out only checked blocks, and the caller decodes that stream in one pass,
// which finds the failure if there is one.
class Bzip2Pipeline {
 public:
  // `threads` (at least 1) decode, started when a block first waits; the
  // reading thread only hands out what they decoded, so that it parses while
  // they decode. When not one can be started, it gives up at once.
  explicit Bzip2Pipeline(unsigned threads);
  ~Bzip2Pipeline();
  Bzip2Pipeline(const Bzip2Pipeline&) = delete;
  Bzip2Pipeline& operator=(const Bzip2Pipeline&) = delete;

  // Starts at the stream whose header ("BZh" and a level digit, checked by
  // the caller) is at byte `start` of `input`, which must outlive it.
  void start(std::string_view input, std::size_t start);

  enum class Status : std::uint8_t {
    kMore,    // more to come
    kEnd,     // streams ended, every CRC checked; end() follows the last
    kGiveUp,  // in the stream at stream_start(), of which delivered()
              // bytes came out, all checked
  };
  struct Step {
    std::size_t produced = 0;
    Status status = Status::kMore;
  };
  // Copies decoded bytes into `out`, waiting for them if need be. Throws only
  // std::bad_alloc.
  [[nodiscard]] Step read(char* out, std::size_t capacity);

  std::size_t end() const noexcept { return end_; }
  std::size_t stream_start() const noexcept { return stream_start_; }
  std::uint64_t delivered() const noexcept { return delivered_; }

 private:
  struct Job;

  static void decode(Job& job, bzip2::BlockDecoder& decoder);
  // Queues blocks and stream ends, up to the window.
  void fill();
  // Queues the next block, or the end of a stream and what follows it.
  void scan_next();
  // Queues the end of the stream whose end marker is at bit `marker`, then
  // looks past zero bytes for the header of another stream.
  void end_stream(std::uint64_t marker);
  void push(std::unique_ptr<Job> job);
  void await_front();
  // Drops every job once no thread decodes one.
  void give_up();
  void help();

  unsigned threads_;
  std::string_view input_;

  // Scanning, ahead of reading.
  enum class Scan : std::uint8_t { kHeader, kBlocks, kDone, kFailed };
  Scan scan_ = Scan::kDone;
  bool first_stream_ = true;     // a bad first stream is a failure, a later one an end
  std::size_t scan_stream_ = 0;  // byte of the header of the stream scanned
  char level_ = '9';
  std::uint64_t scan_bit_ = 0;  // bit of the marker of the next block to queue
  std::size_t queued_ = 0;

  // Reading.
  std::size_t stream_start_ = 0;  // of the stream whose bytes come out
  std::uint32_t crc_ = 0;         // its CRC from the blocks handed out
  std::uint64_t delivered_ = 0;   // its bytes handed out
  std::size_t front_pos_ = 0;
  std::size_t end_ = 0;

  std::mutex mutex_;
  std::condition_variable work_;           // a block to decode, or stop
  std::condition_variable done_;           // a block decoded
  std::deque<std::unique_ptr<Job>> jobs_;  // in file order; the front is handed out next
  // Output buffers of blocks handed out, for the next ones: a buffer unmapped
  // while other threads run costs every core a TLB flush.
  std::vector<util::PageBuffer> spare_;
  unsigned running_ = 0;
  bool stop_ = false;
  std::vector<std::thread> helpers_;
};

}  // namespace marrowfin::io
