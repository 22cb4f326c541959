#include "core/io/zstd_sink.hpp"

#include <zstd.h>
#include <zstd_errors.h>

#include <new>

namespace marrowfin::io {

class ZstdSink::Encoder {
 public:
  explicit Encoder(int level) : cctx_(ZSTD_createCCtx()) {
    if (cctx_ == nullptr) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx_, ZSTD_c_windowLog, kWindowLog);
    ZSTD_CCtx_setParameter(cctx_, ZSTD_c_checksumFlag, 1);
  }
  ~Encoder() { ZSTD_freeCCtx(cctx_); }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
  ZSTD_CCtx* get() const noexcept { return cctx_; }

 private:
  ZSTD_CCtx* cctx_;
};

ZstdSink::ZstdSink(ByteSink& out, int level)
    : out_(out),
      encoder_(std::make_unique<Encoder>(level)),
      buffer_(new char[ZSTD_CStreamOutSize()]),
      buffer_size_(ZSTD_CStreamOutSize()) {}

ZstdSink::~ZstdSink() = default;

std::string ZstdSink::compress(std::string_view bytes, bool end) {
  if (!error_.empty()) return error_;
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  for (;;) {
    ZSTD_outBuffer dest{buffer_.get(), buffer_size_, 0};
    std::size_t left = ZSTD_compressStream2(encoder_->get(), &dest, &in, end ? ZSTD_e_end : ZSTD_e_continue);
    if (ZSTD_isError(left)) {
      // With valid parameters only memory can run short.
      if (ZSTD_getErrorCode(left) == ZSTD_error_memory_allocation) throw std::bad_alloc();
      error_ = ZSTD_getErrorName(left);
      return error_;
    }
    if (dest.pos != 0) {
      error_ = out_.write({buffer_.get(), dest.pos});
      if (!error_.empty()) return error_;
    }
    // Not ending, the input taken whole is enough: the rest comes later.
    if (end ? left == 0 : in.pos == in.size) return {};
  }
}

std::string ZstdSink::write(std::string_view bytes) { return compress(bytes, false); }

std::string ZstdSink::finish() {
  std::string failure = compress({}, true);
  encoder_.reset();  // its memory goes now, not with the sink
  if (failure.empty()) error_ = "the frame has ended";
  return failure;
}

}  // namespace marrowfin::io
