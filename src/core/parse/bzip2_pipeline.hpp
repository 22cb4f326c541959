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

namespace marrowfin::parse {

class Bzip2Memory;

// Blocks are found by their markers (bzip2_blocks.hpp) and each is decoded
// by libbz2 as a stream of its own, which checks the block's CRC; the
// stream's CRC is checked from the block CRCs at its end. Only an
// accelerator: when anything does not check out (a piece between two markers
// that does not decode alone, as when compressed data holds a marker's
// pattern by chance; no end marker; a stream CRC that does not match) it
// gives up, having handed out only checked blocks, and the caller decodes the
// stream in one pass, which finds the failure if there is one.
class Bzip2Pipeline {
 public:
  // `threads` (at least 2) decode: the reading thread and threads - 1
  // helpers, started when a stream first has two blocks to decode.
  explicit Bzip2Pipeline(unsigned threads);
  ~Bzip2Pipeline();
  Bzip2Pipeline(const Bzip2Pipeline&) = delete;
  Bzip2Pipeline& operator=(const Bzip2Pipeline&) = delete;

  // Starts on the stream whose header ("BZh" and a level digit, checked by
  // the caller) is at byte `start` of `input`, which must outlive it.
  void start(std::string_view input, std::size_t start);

  enum class Status : std::uint8_t {
    kMore,    // more to come
    kEnd,     // the stream ended, every CRC checked; end() follows it
    kGiveUp,  // see above; delivered() bytes came out, all checked
  };
  struct Step {
    std::size_t produced = 0;
    Status status = Status::kMore;
  };
  // Copies decoded bytes into `out`; the thread that calls it decodes too
  // while the block it waits for is not done. Throws only std::bad_alloc.
  [[nodiscard]] Step read(char* out, std::size_t capacity);

  // The byte of the input after the stream, once read() said kEnd.
  std::size_t end() const noexcept { return end_; }
  // Bytes of the stream handed out so far.
  std::uint64_t delivered() const noexcept { return delivered_; }

 private:
  struct Job;

  static void decode(Job& job, Bzip2Memory& memory);
  // Queues blocks to decode, up to the window.
  void fill();
  // Waits until the front block is decoded, decoding others meanwhile.
  void await_front();
  // Drops the stream's blocks once no thread decodes one.
  void give_up();
  void help();

  unsigned threads_;
  std::unique_ptr<Bzip2Memory> memory_;  // the reading thread's
  std::string_view input_;
  char level_ = '9';
  std::uint64_t scan_ = 0;        // bit of the marker of the next block to queue
  std::uint64_t end_marker_ = 0;  // bit of the end marker, once found
  bool scan_done_ = true;
  bool scan_failed_ = false;  // no marker where one had to be
  std::uint32_t crc_ = 0;     // stream CRC of the blocks handed out
  std::size_t front_pos_ = 0;
  std::uint64_t delivered_ = 0;
  std::size_t end_ = 0;

  std::mutex mutex_;
  std::condition_variable work_;           // a block to decode, or stop
  std::condition_variable done_;           // a block decoded
  std::deque<std::unique_ptr<Job>> jobs_;  // in stream order; the front is handed out next
  unsigned running_ = 0;
  bool stop_ = false;
  std::vector<std::thread> helpers_;
};

}  // namespace marrowfin::parse
