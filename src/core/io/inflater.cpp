#include "core/io/inflater.hpp"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <vector>

#if MARROWFIN_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace marrowfin::io {
namespace {

// Both libraries count in 32 bits.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

class ZlibInflater final : public Inflater {
 public:
  ZlibInflater() {
    stream_.zalloc = Z_NULL;
    stream_.zfree = Z_NULL;
    stream_.opaque = Z_NULL;
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~ZlibInflater() override { inflateEnd(&stream_); }

  void reset() override {
    inflateReset(&stream_);
    crc_ = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
  }

  InflateStep inflate(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                      std::size_t out_size) override {
    stream_.next_in = const_cast<Bytef*>(in);
    stream_.avail_in = static_cast<uInt>(std::min(in_size, kMaxChunk));
    stream_.next_out = out;
    stream_.avail_out = static_cast<uInt>(std::min(out_size, kMaxChunk));
    uInt in_before = stream_.avail_in;
    uInt out_before = stream_.avail_out;
    int rc = ::inflate(&stream_, Z_NO_FLUSH);
    InflateStep step;
    step.consumed = in_before - stream_.avail_in;
    step.produced = out_before - stream_.avail_out;
    crc_ = static_cast<std::uint32_t>(crc32(crc_, out, static_cast<uInt>(step.produced)));
    switch (rc) {
      case Z_STREAM_END: step.status = InflateStep::Status::kEnd; break;
      case Z_OK:
      case Z_BUF_ERROR: step.status = InflateStep::Status::kMore; break;
      case Z_MEM_ERROR: throw std::bad_alloc();
      default: step.status = InflateStep::Status::kCorrupt; break;
    }
    return step;
  }

  std::uint32_t crc() const noexcept override { return crc_; }
  // zlib hands unused bytes back itself.
  std::size_t read_ahead(std::span<std::uint8_t, 8>) const noexcept override { return 0; }

 private:
  z_stream stream_{};
  std::uint32_t crc_ = 0;
};

#if MARROWFIN_HAVE_ISAL
// How far ISA-L moved `now` past `start`, never beyond `limit`.
std::size_t advanced(const std::uint8_t* start, const std::uint8_t* now, std::size_t limit) {
  if (now < start) return 0;
  return std::min(static_cast<std::size_t>(now - start), limit);
}

class IsalInflater final : public Inflater {
 public:
  IsalInflater() : state_(std::make_unique<inflate_state>()) { reset(); }

  void reset() override {
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_GZIP_NO_HDR;  // keep a CRC-32, leave the trailer to us
    empty_prefix_.clear();
    produced_any_ = false;
  }

  InflateStep inflate(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                      std::size_t out_size) override {
    state_->next_in = const_cast<std::uint8_t*>(in);
    state_->avail_in = static_cast<std::uint32_t>(std::min(in_size, kMaxChunk));
    state_->next_out = out;
    state_->avail_out = static_cast<std::uint32_t>(std::min(out_size, kMaxChunk));
    int rc = isal_inflate(state_.get());
    // The pointers, not the counts: on some invalid symbols ISA-L 2.30
    // leaves avail_out wrapped below zero, which would claim bytes past
    // `out` that it never wrote.
    InflateStep step;
    step.consumed = advanced(in, state_->next_in, in_size);
    step.produced = advanced(out, state_->next_out, out_size);
    if (!produced_any_ && step.produced > 0) {
      produced_any_ = true;
      empty_prefix_ = {};
    } else if (!produced_any_) {
      empty_prefix_.insert(empty_prefix_.end(), in, in + step.consumed);
    }
    if (rc < 0) {
      step.status = InflateStep::Status::kCorrupt;
    } else if (state_->block_state == ISAL_BLOCK_FINISH) {
      step.status = !produced_any_ && !zlib_agrees_empty() ? InflateStep::Status::kCorrupt
                                                           : InflateStep::Status::kEnd;
    }
    return step;
  }

  std::uint32_t crc() const noexcept override { return state_->crc; }

  // The decoder reads whole bytes ahead into a bit buffer; what is left of it
  // at the end, past the last partial byte, belongs to the trailer.
  std::size_t read_ahead(std::span<std::uint8_t, 8> out) const noexcept override {
    int length = std::clamp(state_->read_in_length, 0, 64);
    std::size_t count = static_cast<std::size_t>(length) / 8;
    std::uint64_t bits = count == 0 ? 0 : state_->read_in >> (length % 8);
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    return count;
  }

 private:
  // ISA-L takes some malformed Huffman tables that zlib rejects. Whatever it
  // then decodes fails the trailer's CRC-32, except nothing at all: an empty
  // member's trailer is eight zero bytes, which damaged files often hold. So
  // a stream that ends without output must be one that zlib ends too.
  bool zlib_agrees_empty() {
    ZlibInflater check;
    std::uint8_t byte = 0;
    InflateStep step = check.inflate(empty_prefix_.data(), empty_prefix_.size(), &byte, 1);
    return step.status == InflateStep::Status::kEnd && step.produced == 0;
  }

  std::unique_ptr<inflate_state> state_;
  // The input taken while the stream has produced nothing yet.
  std::vector<std::uint8_t> empty_prefix_;
  bool produced_any_ = false;
};
#endif

}  // namespace

Inflater::Backend Inflater::default_backend() noexcept {
  return available(Backend::kIsal) ? Backend::kIsal : Backend::kZlib;
}

bool Inflater::available(Backend backend) noexcept {
  return backend == Backend::kZlib || MARROWFIN_HAVE_ISAL;
}

std::unique_ptr<Inflater> Inflater::create(Backend backend) {
#if MARROWFIN_HAVE_ISAL
  if (backend == Backend::kIsal) return std::make_unique<IsalInflater>();
#endif
  (void)backend;
  return std::make_unique<ZlibInflater>();
}

}  // namespace marrowfin::io
