#include "core/io/zstd_source.hpp"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "core/io/error_texts.hpp"

namespace marrowfin::io {
namespace {

constexpr unsigned char kFrameMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
// The first byte's low four bits are free.
constexpr unsigned char kSkippableMagic[4] = {0x50, 0x2A, 0x4D, 0x18};
constexpr std::size_t kSkippableHeader = 8;  // the magic, then the size of the rest
constexpr std::size_t kMaxFrameHeader = 18;
// libzstd's default: what its own tools decode without being told to allow more.
constexpr int kWindowLogMax = 27;

// The size of a frame header from its descriptor, the byte after the magic.
std::size_t frame_header_size(unsigned char descriptor) {
  constexpr std::size_t kDictionaryId[4] = {0, 1, 2, 4};
  constexpr std::size_t kContentSize[4] = {0, 2, 4, 8};
  bool single_segment = (descriptor & 0x20) != 0;
  std::size_t content_size = kContentSize[descriptor >> 6];
  if (single_segment && content_size == 0) content_size = 1;
  return 4 + 1 + (single_segment ? 0 : 1) + kDictionaryId[descriptor & 3] + content_size;
}

std::string_view failure_text(std::size_t code) {
  switch (ZSTD_getErrorCode(code)) {
    case ZSTD_error_memory_allocation:
      throw std::bad_alloc();
    case ZSTD_error_prefix_unknown:
    case ZSTD_error_frameParameter_unsupported:
      return texts::kInvalidZstdHeader;
    case ZSTD_error_frameParameter_windowTooLarge:
    case ZSTD_error_dictionary_wrong:
      return texts::kUnsupportedZstdFrame;
    default:
      return texts::kCorruptZstd;
  }
}

}  // namespace

class ZstdSource::Decoder {
 public:
  Decoder() : dctx_(ZSTD_createDCtx()) {
    if (dctx_ == nullptr) throw std::bad_alloc();
    ZSTD_DCtx_setParameter(dctx_, ZSTD_d_windowLogMax, kWindowLogMax);
  }
  ~Decoder() { ZSTD_freeDCtx(dctx_); }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Forgets the frame before (a frame that ended cleanly leaves nothing behind).
  void restart() { ZSTD_DCtx_reset(dctx_, ZSTD_reset_session_only); }
  ZSTD_DCtx* get() const noexcept { return dctx_; }

 private:
  ZSTD_DCtx* dctx_;
};

ZstdSource::ZstdSource(std::unique_ptr<ByteSource> file)
    : file_(std::move(file)), input_(new char[kInputBlock]) {}

ZstdSource::~ZstdSource() = default;

bool ZstdSource::refill() {
  if (input_ended_) return false;
  // Only a few bytes are ever kept back: a magic or header cut by a read.
  std::memmove(input_.get(), input_.get() + pos_, unread());
  end_ -= pos_;
  pos_ = 0;
  ReadResult r = file_->read(input_.get() + end_, kInputBlock - end_);
  if (!r.error.empty()) {
    input_error_ = std::move(r.error);
    input_ended_ = true;
    return false;
  }
  if (r.size == 0) {
    input_ended_ = true;
    return false;
  }
  end_ += r.size;
  return true;
}

ZstdSource::Magic ZstdSource::next_magic() {
  while (unread() < 4 && refill()) {
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(input_.get() + pos_);
  std::size_t seen = std::min<std::size_t>(unread(), 4);
  bool frame = true;
  bool skippable = true;
  for (std::size_t i = 0; i < seen; ++i) {
    frame = frame && bytes[i] == kFrameMagic[i];
    skippable = skippable && (i == 0 ? (bytes[0] & 0xF0) == kSkippableMagic[0]
                                     : bytes[i] == kSkippableMagic[i]);
  }
  if (!frame && !skippable) return Magic::kOther;
  if (seen < 4) return Magic::kPartial;
  return frame ? Magic::kFrame : Magic::kSkippable;
}

std::string ZstdSource::begin_frame(Magic magic) {
  if (magic == Magic::kFrame) {
    if (!decoder_) decoder_ = std::make_unique<Decoder>();
    decoder_->restart();
    // libzstd checks the content size a header gives, except in a frame
    // whose last block is empty: checked here.
    while (unread() < kMaxFrameHeader && refill()) {
    }
    content_size_ = ZSTD_getFrameContentSize(input_.get() + pos_, unread());
    frame_produced_ = 0;
    header_size_ = unread() > 4 ? frame_header_size(static_cast<unsigned char>(input_[pos_ + 4])) : unread();
    state_ = State::kFrame;
    return {};
  }
  while (unread() < kSkippableHeader && refill()) {
  }
  if (unread() < kSkippableHeader) return end_text();
  const auto* size = reinterpret_cast<const unsigned char*>(input_.get() + pos_ + 4);
  skip_left_ = std::uint64_t{size[0]} | std::uint64_t{size[1]} << 8 | std::uint64_t{size[2]} << 16 |
               std::uint64_t{size[3]} << 24;
  pos_ += kSkippableHeader;
  state_ = State::kSkipFrame;
  return {};
}

std::string ZstdSource::end_text() const {
  return input_error_.empty() ? std::string(texts::kUnexpectedEnd) : input_error_;
}

void ZstdSource::release() noexcept {
  decoder_.reset();
  input_.reset();
  pos_ = end_ = 0;
  file_.reset();
}

ReadResult ZstdSource::read(char* out, std::size_t capacity) {
  std::size_t produced = 0;
  std::string failure;
  while (produced < capacity && failure.empty()) {
    switch (state_) {
      case State::kFirstFrame: {
        // The first frame must be there.
        Magic magic = next_magic();
        if (magic == Magic::kFrame || magic == Magic::kSkippable) {
          failure = begin_frame(magic);
        } else {
          failure = magic == Magic::kPartial ? end_text() : std::string(texts::kInvalidZstdHeader);
        }
        break;
      }
      case State::kFrame: {
        // libzstd decodes a frame in one step when it lies whole in the input
        // at the end of its header and fits in the output, and then does not
        // check its window against the limit. Its header alone at first keeps
        // every frame to blocks, so that the failure does not depend on the
        // reads and the room.
        ZSTD_inBuffer in{input_.get() + pos_, std::min(unread(), header_size_ > 0 ? header_size_ : unread()), 0};
        header_size_ = 0;
        ZSTD_outBuffer dest{out + produced, capacity - produced, 0};
        std::size_t hint = ZSTD_decompressStream(decoder_->get(), &dest, &in);
        pos_ += in.pos;
        produced += dest.pos;
        frame_produced_ += dest.pos;
        if (ZSTD_isError(hint)) {
          failure = failure_text(hint);
        } else if (hint == 0) {
          // Decoded, checked and handed out whole. (A header libzstd cannot
          // read gives no size here, and libzstd's own failure.)
          bool sized = content_size_ != ZSTD_CONTENTSIZE_UNKNOWN && content_size_ != ZSTD_CONTENTSIZE_ERROR;
          if (sized && frame_produced_ != content_size_) {
            failure = texts::kCorruptZstd;
          } else {
            state_ = State::kNextFrame;
          }
        } else if (in.pos == 0 && dest.pos == 0 && !refill()) {
          // It wanted input, with room for output.
          failure = end_text();
        }
        break;
      }
      case State::kSkipFrame: {
        auto passed = static_cast<std::size_t>(std::min<std::uint64_t>(unread(), skip_left_));
        pos_ += passed;
        skip_left_ -= passed;
        if (skip_left_ == 0) {
          state_ = State::kNextFrame;
        } else if (!refill()) {
          failure = end_text();
        }
        break;
      }
      case State::kNextFrame: {
        for (;;) {
          while (pos_ < end_ && input_[pos_] == '\0') ++pos_;
          if (pos_ < end_ || !refill()) break;
        }
        Magic magic = next_magic();
        if (magic == Magic::kFrame || magic == Magic::kSkippable) {
          failure = begin_frame(magic);
        } else if (magic == Magic::kPartial && !input_error_.empty()) {
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
