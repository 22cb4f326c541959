#include "core/io/bzip2_source.hpp"

#include <bzlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "core/io/bzip2_blocks.hpp"
#include "core/io/error_texts.hpp"
#include "core/util/threads.hpp"

namespace marrowfin::io {
namespace {

constexpr std::string_view kMagic = "BZh";
// libbz2 counts in unsigned int.
constexpr std::size_t kMaxStep = std::size_t{1} << 30;
constexpr std::size_t kReadBlock = std::size_t{1} << 20;
// The least a load on one thread reads on at a time: a file of tiny streams
// would cost a read per block.
constexpr std::size_t kReadOn = std::size_t{64} << 10;
constexpr std::size_t kWhole = static_cast<std::size_t>(-1);
// A stream's magic and its level: what begin_stream() looks at.
constexpr std::size_t kHeader = 4;

}  // namespace

class Bzip2Source::Stream {
 public:
  struct Step {
    std::size_t consumed = 0;
    std::size_t produced = 0;
    int status = BZ_OK;
  };

  Stream() {
    if (BZ2_bzDecompressInit(&z_, 0, 0) != BZ_OK) throw std::bad_alloc();
  }
  ~Stream() { BZ2_bzDecompressEnd(&z_); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  Step decode(const char* in, std::size_t in_size, char* out, std::size_t out_size) {
    z_.next_in = const_cast<char*>(in);
    z_.avail_in = static_cast<unsigned>(std::min(in_size, kMaxStep));
    z_.next_out = out;
    z_.avail_out = static_cast<unsigned>(std::min(out_size, kMaxStep));
    Step step;
    step.status = BZ2_bzDecompress(&z_);
    if (step.status == BZ_MEM_ERROR) throw std::bad_alloc();
    step.consumed = static_cast<std::size_t>(z_.next_in - in);
    step.produced = static_cast<std::size_t>(z_.next_out - out);
    return step;
  }

 private:
  bz_stream z_{};
};

unsigned Bzip2Source::default_threads() noexcept {
  unsigned cores = util::usable_cores();
  return cores >= 2 ? std::min(cores, 8u) : 0;
}

Bzip2Source::Bzip2Source(std::unique_ptr<ByteSource> file, unsigned threads,
                         std::size_t input_step, bool libbz2_only, std::size_t first_input)
    : file_(std::move(file)),
      threads_(input_step != 0 || libbz2_only ? 0 : threads),
      input_step_(input_step),
      first_input_(std::max<std::size_t>(first_input, 1)),
      libbz2_only_(libbz2_only),
      peek_(input_step != 0) {}

Bzip2Source::~Bzip2Source() { bzip2::BlockDecoder::keep(std::move(decoder_)); }

void Bzip2Source::read_input(std::size_t least) {
  while (!input_whole_ && input_.size() < least) {
    std::size_t used = input_.size();
    std::size_t want = least == kWhole ? std::max(kReadBlock, used / 2) : least - used;
    input_.resize(used + want);
    ReadResult r = file_->read(input_.data() + used, want);
    input_.resize(used + r.size);
    if (!r.error.empty()) input_error_ = std::move(r.error);
    input_whole_ = !input_error_.empty() || r.size == 0;
  }
  // Kept open where what is given back may be needed again.
  if (input_whole_ && file_ && (threads_ > 0 || !file_->can_read_again())) file_.reset();
}

void Bzip2Source::read_rest() noexcept {
  rest_wanted_ = true;
  peek_ = false;
}

bool Bzip2Source::read_more() {
  if (input_whole_) return false;
  read_input(input_.size() + std::max(input_.size(), first_input_));
  return true;
}

void Bzip2Source::begin_stream() {
  // The pipeline needs the whole header; a bad one is for libbz2 to report.
  char level = pos_ + 3 < input_.size() ? input_.data()[pos_ + 3] : '\0';
  if (threads_ > 0 && level >= '1' && level <= '9') {
    if (!pipeline_) pipeline_ = std::make_unique<Bzip2Pipeline>(threads_);
    pipeline_->start(input_.view(), pos_);
    state_ = State::kPipeline;
  } else if (!libbz2_only_ && level >= '1' && level <= '9') {
    if (!decoder_) decoder_ = bzip2::BlockDecoder::take();
    decoder_->out().resize(0);  // what an earlier file or stream left
    block_pos_ = 0;
    partial_ = false;
    peeked_ = 0;
    stream_start_ = pos_;
    bit_ = 8 * std::uint64_t{pos_ + 4};
    level_ = level;
    crc_ = 0;
    delivered_ = 0;
    state_ = State::kBlocks;
  } else {
    read_input(kWhole);  // libbz2 is handed what is in: all of it
    stream_ = std::make_unique<Stream>();
    state_ = State::kStream;
  }
}

bool Bzip2Source::next_block() {
  // A block that runs past what is in fails as damaged input would: it is
  // decoded again once more is in, and only a failure on the whole file stands.
  // So that one rarely does, half as much again as the largest block so far
  // is read ahead (a file's blocks are much alike).
  if (input_step_ == 0) {
    const std::size_t ahead = largest_block_ == 0 ? first_input_ : largest_block_ + largest_block_ / 2;
    const std::size_t least = static_cast<std::size_t>(bit_ / 8) + ahead;
    if (input_.size() < least) read_input(std::max(least, input_.size() + kReadOn));
  }
  do {
    if (try_block()) return true;
  } while (read_more());
  return false;
}

bool Bzip2Source::try_block() {
  std::string_view input = input_.view();
  std::optional<bool> end = bzip2::marker_at(input, bit_);
  if (!end) return false;
  if (*end) {
    std::optional<std::size_t> after = bzip2::checked_end(input, bit_, crc_);
    if (!after) return false;
    pos_ = *after;
    state_ = State::kNextStream;
    return true;
  }
  decoder_->out().resize(0);
  block_pos_ = 0;
  bzip2::BlockDecoder::Block block = decoder_->prepare(input, bit_, level_, decoder_->out());
  if (!block.ok) return false;
  try {
    if (peek_ && peeked_ == 0) {
      decoder_->peek(kPeek, decoder_->out());
      partial_ = true;
      pending_ = block;
      return true;
    }
    if (!decoder_->complete(decoder_->out())) return false;
  } catch (const std::bad_alloc&) {
    decoder_->out().resize(0);  // not a block's bytes, for a reader that tries again
    throw;
  }
  end_block(block);
  return true;
}

bool Bzip2Source::complete_block() {
  // The block is decoded again (prepare()) if completing it fails for
  // memory, and its start is not handed out twice.
  partial_ = false;
  peeked_ = decoder_->out().size();
  decoder_->out().resize(0);
  try {
    if (!decoder_->complete(decoder_->out())) return false;
  } catch (const std::bad_alloc&) {
    decoder_->out().resize(0);
    throw;
  }
  end_block(pending_);
  return true;
}

void Bzip2Source::end_block(const bzip2::BlockDecoder::Block& block) {
  block_pos_ = peeked_;
  peeked_ = 0;
  crc_ = bzip2::combine_crc(crc_, block.crc);
  largest_block_ = std::max<std::size_t>(largest_block_, static_cast<std::size_t>((block.end - bit_) / 8) + 1);
  bit_ = block.end;
  drop_before(bit_ / 8);
}

void Bzip2Source::drop_before(std::size_t pos) noexcept {
  // Far enough behind to be worth a call: a block is some 100 kB.
  constexpr std::size_t kStep = std::size_t{64} << 10;
  if (pos < dropped_ + kStep || !file_ || !file_->can_read_again()) return;
  dropped_ = input_.discard(dropped_, pos);
}

std::string Bzip2Source::decode_again(std::uint64_t delivered) {
  read_input(kWhole);  // libbz2 is handed what is in: all of it
  // What was given back of the stream is read again: a failure to is the
  // file's read error (the file changed under us, were it cut).
  for (std::size_t at = stream_start_; at < dropped_;) {
    if (!file_) return end_text();
    ReadResult r = file_->read_again(at, input_.data() + at, dropped_ - at);
    if (!r.error.empty()) return r.error;
    if (r.size == 0) return std::string(texts::kUnexpectedEnd);
    at += r.size;
  }
  dropped_ = std::min(dropped_, stream_start_);
  pos_ = stream_start_;
  skip_ = delivered;
  stream_ = std::make_unique<Stream>();
  state_ = State::kStream;
  return {};
}

void Bzip2Source::release() noexcept {
  file_.reset();
  input_whole_ = true;  // nothing more is read
  bzip2::BlockDecoder::keep(std::move(decoder_));
  stream_.reset();
  pipeline_.reset();  // its threads end here
  input_.release();
  dropped_ = 0;
}

std::string Bzip2Source::end_text() const {
  return input_error_.empty() ? std::string(texts::kUnexpectedEnd) : input_error_;
}

ReadResult Bzip2Source::read(char* out, std::size_t capacity) {
  if (rest_wanted_) {
    rest_wanted_ = false;
    read_input(kWhole);
  }
  std::size_t produced = 0;
  std::string failure;
  while (produced < capacity && failure.empty()) {
    switch (state_) {
      case State::kUnread:
        // The pipeline splits what is in whole; one thread reads as its blocks need.
        read_input(input_step_ != 0 || threads_ == 0 ? first_input_ : kWhole);
        state_ = State::kStreamStart;
        break;
      case State::kStreamStart: {
        // The first stream must be there.
        if (input_.size() - pos_ < kHeader && read_more()) break;
        std::string_view rest = input_.view().substr(pos_);
        std::size_t common = 0;
        while (common < kMagic.size() && common < rest.size() && rest[common] == kMagic[common]) {
          ++common;
        }
        if (common == kMagic.size()) {
          begin_stream();
        } else {
          failure = common == rest.size() ? end_text() : std::string(texts::kInvalidBzip2Header);
        }
        break;
      }
      case State::kBlocks: {
        const util::PageBuffer& block = decoder_->out();
        if (block_pos_ < block.size()) {
          std::size_t n = std::min(block.size() - block_pos_, capacity - produced);
          std::memcpy(out + produced, block.data() + block_pos_, n);
          block_pos_ += n;
          produced += n;
          delivered_ += n;
        } else if (partial_ ? !complete_block() : !next_block()) {
          failure = decode_again(delivered_);
        }
        break;
      }
      case State::kStream: {
        // After a faster decoder gave up, what it handed out is decoded
        // again and dropped.
        char scratch[16384];
        bool skipping = skip_ > 0;
        char* dest = skipping ? scratch : out + produced;
        std::size_t space =
            skipping ? std::min<std::uint64_t>(skip_, sizeof scratch) : capacity - produced;
        std::size_t available = input_.size() - pos_;
        if (input_step_ != 0) available = std::min(available, input_step_);
        Stream::Step step = stream_->decode(input_.data() + pos_, available, dest, space);
        pos_ += step.consumed;
        if (skipping) {
          skip_ -= step.produced;
        } else {
          produced += step.produced;
        }
        if (step.status == BZ_STREAM_END) {
          stream_.reset();
          state_ = State::kNextStream;
        } else if (step.status == BZ_DATA_ERROR_MAGIC) {
          failure = texts::kInvalidBzip2Header;
        } else if (step.status != BZ_OK) {
          failure = texts::kCorruptBzip2;
        } else if (step.produced < space && pos_ == input_.size()) {
          failure = end_text();  // libbz2 stops short of the output space only for input
        }
        break;
      }
      case State::kPipeline: {
        Bzip2Pipeline::Step step = pipeline_->read(out + produced, capacity - produced);
        produced += step.produced;
        if (step.status == Bzip2Pipeline::Status::kEnd) {
          pos_ = pipeline_->end();
          state_ = State::kNextStream;
        } else if (step.status == Bzip2Pipeline::Status::kGiveUp) {
          stream_start_ = pipeline_->stream_start();
          failure = decode_again(pipeline_->delivered());
        }
        break;
      }
      case State::kNextStream: {
        while (pos_ < input_.size() && input_.data()[pos_] == '\0') ++pos_;
        if (input_.size() - pos_ < kHeader && read_more()) break;
        std::string_view rest = input_.view().substr(pos_);
        if (rest.starts_with(kMagic)) {
          begin_stream();
        } else if (kMagic.starts_with(rest) && !input_error_.empty()) {
          failure = input_error_;  // the file could not be read as far as a verdict
        } else {
          state_ = State::kDone;
          release();
        }
        break;
      }
      case State::kDone:
        return {produced, {}};
      case State::kFailed:
        return {0, error_};
    }
    if (input_step_ != 0 && produced > 0) break;  // no further than asked for
  }
  if (!failure.empty()) {
    state_ = State::kFailed;
    error_ = std::move(failure);
    release();
    // What was decoded before the failure comes first.
    if (produced == 0) return {0, error_};
  }
  return {produced, {}};
}

}  // namespace marrowfin::io
