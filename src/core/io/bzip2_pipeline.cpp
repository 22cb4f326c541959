#include "core/io/bzip2_pipeline.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "core/io/bzip2_blocks.hpp"
#include "core/io/bzip2_decoder.hpp"
#include "core/util/page_buffer.hpp"

namespace marrowfin::io {

struct Bzip2Pipeline::Job {
  enum class State : std::uint8_t { kQueued, kRunning, kDone };

  std::string_view input;
  char level = '9';
  std::size_t stream = 0;   // byte of its stream's header
  bool stream_end = false;  // the end of a stream (its CRC to check), not a block
  std::uint64_t begin = 0;  // bits: a block's marker up to the next marker, or
  std::uint64_t end = 0;    // the end marker
  State state = State::kQueued;
  bool ok = false;  // decoded whole and its CRC checked
  util::PageBuffer out;
};

namespace {

// Blocks and stream ends queued per decoding thread, and one being read:
// enough that no thread waits for another.
constexpr unsigned kQueuedPerThread = 2;
// A block marker, its CRC and at least the randomised bit and the origin
// pointer come before the next marker can start.
constexpr std::uint64_t kMinBlockBits = bzip2::kMarkerBits + bzip2::kCrcBits + 25;
constexpr std::string_view kMagic = "BZh";

}  // namespace

Bzip2Pipeline::Bzip2Pipeline(unsigned threads) : threads_(std::max(threads, 1u)) {}

Bzip2Pipeline::~Bzip2Pipeline() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void Bzip2Pipeline::start(std::string_view input, std::size_t start) {
  input_ = input;
  scan_ = Scan::kHeader;
  first_stream_ = true;
  scan_stream_ = stream_start_ = start;
  crc_ = 0;
  delivered_ = 0;
  front_pos_ = 0;
}

void Bzip2Pipeline::decode(Job& job, bzip2::BlockDecoder& decoder) {
  job.out.resize(0);
  bzip2::BlockDecoder::Block block = decoder.decode(job.input, job.begin, job.level, job.out);
  job.ok = block.ok && block.end == job.end;  // else the block ended before the next marker
}

void Bzip2Pipeline::push(std::unique_ptr<Job> job) {
  job->input = input_;
  job->level = level_;
  job->stream = scan_stream_;
  if (job->stream_end) {
    job->state = Job::State::kDone;  // nothing to decode
    job->ok = true;
  }
  std::lock_guard lock(mutex_);
  jobs_.push_back(std::move(job));
  ++queued_;
}

void Bzip2Pipeline::end_stream(std::uint64_t marker) {
  auto job = std::make_unique<Job>();
  job->stream_end = true;
  job->begin = marker;
  push(std::move(job));
  scan_ = Scan::kDone;
  std::uint64_t after = marker + bzip2::kMarkerBits + bzip2::kCrcBits;
  if (after > 8 * std::uint64_t{input_.size()}) return;  // its CRC check fails
  auto next = static_cast<std::size_t>((after + 7) / 8);
  while (next < input_.size() && input_[next] == '\0') ++next;
  if (input_.substr(next).starts_with(kMagic)) {
    scan_stream_ = next;
    scan_ = Scan::kHeader;
  }
}

void Bzip2Pipeline::scan_next() {
  if (scan_ == Scan::kHeader) {
    std::size_t header = scan_stream_;
    std::uint64_t first = 8 * std::uint64_t{header + 4};
    char level = header + 3 < input_.size() ? input_[header + 3] : '\0';
    std::optional<bool> marker;
    if (level >= '1' && level <= '9') marker = bzip2::marker_at(input_, first);
    if (!marker) {
      // The caller's first stream fails; a later one is left to the caller.
      scan_ = first_stream_ ? Scan::kFailed : Scan::kDone;
      return;
    }
    first_stream_ = false;
    level_ = level;
    if (*marker) {
      end_stream(first);  // a stream without blocks
    } else {
      scan_bit_ = first;
      scan_ = Scan::kBlocks;
    }
    return;
  }
  std::optional<bzip2::Marker> next = bzip2::find_marker(input_, scan_bit_ + kMinBlockBits);
  if (!next) {
    scan_ = Scan::kFailed;
    return;
  }
  auto job = std::make_unique<Job>();
  job->begin = scan_bit_;
  job->end = next->bit;
  push(std::move(job));
  if (next->end) {
    end_stream(next->bit);
  } else {
    scan_bit_ = next->bit;
  }
}

void Bzip2Pipeline::fill() {
  std::size_t window = std::size_t{kQueuedPerThread} * threads_ + 1;
  std::size_t before = queued_;
  while ((scan_ == Scan::kHeader || scan_ == Scan::kBlocks) && queued_ < window) scan_next();
  if (queued_ == before) return;
  if (helpers_.empty()) {
    for (unsigned i = 0; i < threads_; ++i) {
      try {
        helpers_.emplace_back([this] { help(); });
      } catch (const std::system_error&) {
        break;  // no more threads to be had: go on with those there are, if any
      }
    }
  }
  work_.notify_all();
}

void Bzip2Pipeline::help() {
  std::unique_ptr<bzip2::BlockDecoder> decoder;
  try {
    decoder = bzip2::BlockDecoder::take();
  } catch (const std::bad_alloc&) {
    // Every job fails, and the reading thread, decoding in one pass, meets
    // the shortage itself.
  }
  std::unique_lock lock(mutex_);
  for (;;) {
    Job* job = nullptr;
    work_.wait(lock, [&] {
      if (stop_) return true;
      for (auto& queued : jobs_) {
        if (queued->state == Job::State::kQueued) {
          job = queued.get();
          return true;
        }
      }
      return false;
    });
    if (stop_) break;
    job->state = Job::State::kRunning;
    ++running_;
    if (!spare_.empty()) {
      job->out = std::move(spare_.back());
      spare_.pop_back();
    }
    lock.unlock();
    try {
      if (decoder) decode(*job, *decoder);
    } catch (const std::bad_alloc&) {
      // job->ok stays false: the reading thread gives up and, decoding in
      // one pass, meets the shortage itself.
    }
    lock.lock();
    job->state = Job::State::kDone;
    --running_;
    done_.notify_all();
  }
  lock.unlock();
  bzip2::BlockDecoder::keep(std::move(decoder));
}

void Bzip2Pipeline::await_front() {
  std::unique_lock lock(mutex_);
  Job& front = *jobs_.front();
  done_.wait(lock, [&] { return front.state == Job::State::kDone; });
}

void Bzip2Pipeline::give_up() {
  std::unique_lock lock(mutex_);
  for (auto& job : jobs_) {
    if (job->state == Job::State::kQueued) job->state = Job::State::kDone;
  }
  done_.wait(lock, [&] { return running_ == 0; });
  jobs_.clear();
  queued_ = 0;
  scan_ = Scan::kDone;
}

Bzip2Pipeline::Step Bzip2Pipeline::read(char* out, std::size_t capacity) {
  Step step;
  while (step.produced < capacity) {
    fill();
    if (queued_ == 0) {
      if (scan_ == Scan::kFailed) {
        stream_start_ = scan_stream_;
        give_up();
        step.status = Status::kGiveUp;
      } else {
        step.status = Status::kEnd;
      }
      return step;
    }
    if (helpers_.empty()) {
      // No thread could be started to decode: the stream is read in one pass.
      stream_start_ = jobs_.front()->stream;
      give_up();
      step.status = Status::kGiveUp;
      return step;
    }
    await_front();
    Job& front = *jobs_.front();
    stream_start_ = front.stream;
    bool checked = front.ok;
    if (front.stream_end) {
      std::optional<std::size_t> after = bzip2::checked_end(input_, front.begin, crc_);
      checked = after.has_value();
      if (checked) {
        end_ = *after;
        crc_ = 0;
        delivered_ = 0;
      }
    }
    if (!checked) {
      give_up();
      step.status = Status::kGiveUp;
      return step;
    }
    if (!front.stream_end) {
      std::size_t n = std::min(front.out.size() - front_pos_, capacity - step.produced);
      std::memcpy(out + step.produced, front.out.data() + front_pos_, n);
      front_pos_ += n;
      step.produced += n;
      delivered_ += n;
      if (front_pos_ < front.out.size()) continue;
      crc_ = bzip2::combine_crc(
          crc_, bzip2::bits_at(input_, front.begin + bzip2::kMarkerBits, bzip2::kCrcBits));
    }
    front_pos_ = 0;
    {
      std::lock_guard lock(mutex_);
      if (front.out.capacity() > 0 && spare_.size() < queued_) {
        front.out.resize(0);
        spare_.push_back(std::move(front.out));
      }
      jobs_.pop_front();
      --queued_;
    }
  }
  return step;
}

}  // namespace marrowfin::io
