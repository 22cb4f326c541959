#include "core/parse/bzip2_pipeline.hpp"

#include <bzlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <utility>

#include "core/parse/bzip2_blocks.hpp"
#include "core/parse/bzip2_memory.hpp"
#include "core/parse/page_buffer.hpp"

namespace marrowfin::parse {

struct Bzip2Pipeline::Job {
  enum class State : std::uint8_t { kQueued, kRunning, kDone };

  std::string_view input;
  char level = '9';
  std::uint64_t begin = 0;  // bits: the block's marker up to the next marker
  std::uint64_t end = 0;
  State state = State::kQueued;
  bool ok = false;  // decoded whole and its CRC checked
  PageBuffer out;
};

namespace {

// Blocks queued per decoding thread: enough that none waits for the next.
constexpr unsigned kQueuedPerThread = 2;
// A block marker, its CRC and at least the randomised bit and the origin
// pointer come before the next marker can start.
constexpr std::uint64_t kMinBlockBits = bzip2::kMarkerBits + bzip2::kCrcBits + 25;

}  // namespace

Bzip2Pipeline::Bzip2Pipeline(unsigned threads)
    : threads_(std::max(threads, 2u)), memory_(std::make_unique<Bzip2Memory>()) {}

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
  level_ = input[start + 3];
  crc_ = 0;
  front_pos_ = 0;
  delivered_ = 0;
  scan_done_ = false;
  scan_failed_ = false;
  std::uint64_t first = 8 * std::uint64_t{start + 4};
  std::optional<bzip2::Marker> marker = bzip2::find_marker(input, first);
  if (!marker || marker->bit != first) {
    scan_done_ = scan_failed_ = true;
  } else if (marker->end) {
    scan_done_ = true;  // a stream without blocks
    end_marker_ = first;
  } else {
    scan_ = first;
  }
}

void Bzip2Pipeline::decode(Job& job, Bzip2Memory& memory) {
  std::string stream;
  bzip2::one_block_stream(job.input, job.begin, job.end, job.level, stream);
  bz_stream z{};
  memory.lend_to(z);
  if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return;  // job.ok stays false
  PageBuffer& out = job.out;
  out.reserve(100000 * static_cast<std::size_t>(job.level - '0') + 4096);
  z.next_in = stream.data();
  z.avail_in = static_cast<unsigned>(stream.size());
  for (;;) {
    if (out.size() == out.capacity()) out.reserve(2 * out.capacity());  // runs decode to more
    std::size_t room = std::min<std::size_t>(out.capacity() - out.size(), UINT_MAX);
    z.next_out = out.data() + out.size();
    z.avail_out = static_cast<unsigned>(room);
    int status = BZ2_bzDecompress(&z);
    std::size_t produced = room - z.avail_out;
    out.resize(out.size() + produced);
    if (status == BZ_STREAM_END) {
      job.ok = z.avail_in == 0;  // else the block ended before the next marker
      break;
    }
    if (status != BZ_OK || (z.avail_in == 0 && produced < room)) break;
  }
  BZ2_bzDecompressEnd(&z);
}

void Bzip2Pipeline::fill() {
  if (scan_done_) return;
  std::size_t queued;
  {
    std::lock_guard lock(mutex_);
    queued = jobs_.size();
  }
  std::size_t window = std::size_t{kQueuedPerThread} * threads_;
  bool added = false;
  while (!scan_done_ && queued < window) {
    std::optional<bzip2::Marker> next = bzip2::find_marker(input_, scan_ + kMinBlockBits);
    if (!next) {
      scan_done_ = scan_failed_ = true;
      break;
    }
    auto job = std::make_unique<Job>();
    job->input = input_;
    job->level = level_;
    job->begin = scan_;
    job->end = next->bit;
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
      queued = jobs_.size();
    }
    added = true;
    scan_ = next->bit;
    if (next->end) {
      scan_done_ = true;
      end_marker_ = next->bit;
    }
  }
  if (!added) return;
  if (helpers_.empty() && queued >= 2) {
    for (unsigned i = 1; i < threads_; ++i) helpers_.emplace_back([this] { help(); });
  }
  work_.notify_all();
}

void Bzip2Pipeline::help() {
  Bzip2Memory memory;
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
    if (stop_) return;
    job->state = Job::State::kRunning;
    ++running_;
    lock.unlock();
    try {
      decode(*job, memory);
    } catch (const std::bad_alloc&) {
      // job->ok stays false: the reading thread gives up and meets the
      // shortage itself.
    }
    lock.lock();
    job->state = Job::State::kDone;
    --running_;
    done_.notify_all();
  }
}

void Bzip2Pipeline::await_front() {
  std::unique_lock lock(mutex_);
  Job& front = *jobs_.front();
  while (front.state != Job::State::kDone) {
    Job* job = nullptr;
    for (auto& queued : jobs_) {
      if (queued->state == Job::State::kQueued) {
        job = queued.get();
        break;
      }
    }
    if (job == nullptr) {
      done_.wait(lock);
      continue;
    }
    job->state = Job::State::kRunning;
    ++running_;
    lock.unlock();
    try {
      decode(*job, *memory_);
    } catch (...) {
      lock.lock();
      job->state = Job::State::kDone;
      --running_;
      done_.notify_all();
      throw;
    }
    lock.lock();
    job->state = Job::State::kDone;
    --running_;
    done_.notify_all();
  }
}

void Bzip2Pipeline::give_up() {
  std::unique_lock lock(mutex_);
  for (auto& job : jobs_) {
    if (job->state == Job::State::kQueued) job->state = Job::State::kDone;
  }
  done_.wait(lock, [&] { return running_ == 0; });
  jobs_.clear();
  scan_done_ = true;
}

Bzip2Pipeline::Step Bzip2Pipeline::read(char* out, std::size_t capacity) {
  Step step;
  while (step.produced < capacity) {
    fill();
    bool empty;
    {
      std::lock_guard lock(mutex_);
      empty = jobs_.empty();
    }
    if (empty) {
      std::uint64_t crc_end = end_marker_ + bzip2::kMarkerBits + bzip2::kCrcBits;
      if (scan_failed_ || crc_end > 8 * std::uint64_t{input_.size()} ||
          bzip2::bits_at(input_, end_marker_ + bzip2::kMarkerBits, bzip2::kCrcBits) != crc_) {
        step.status = Status::kGiveUp;
        return step;
      }
      end_ = static_cast<std::size_t>((crc_end + 7) / 8);
      step.status = Status::kEnd;
      return step;
    }
    await_front();
    Job& front = *jobs_.front();
    if (!front.ok) {
      give_up();
      step.status = Status::kGiveUp;
      return step;
    }
    std::size_t n = std::min(front.out.size() - front_pos_, capacity - step.produced);
    std::memcpy(out + step.produced, front.out.data() + front_pos_, n);
    front_pos_ += n;
    step.produced += n;
    delivered_ += n;
    if (front_pos_ == front.out.size()) {
      crc_ = bzip2::combine_crc(
          crc_, bzip2::bits_at(input_, front.begin + bzip2::kMarkerBits, bzip2::kCrcBits));
      front_pos_ = 0;
      std::lock_guard lock(mutex_);
      jobs_.pop_front();
    }
  }
  return step;
}

}  // namespace marrowfin::parse
