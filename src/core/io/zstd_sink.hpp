// Bytes compressed as one zstd frame into another sink: the store's files.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "core/io/byte_sink.hpp"

namespace marrowfin::io {

// The frame has a checksum and no content size (it is streamed), and its
// window is 1 MiB whatever the level: every byte a reader decodes passes
// through the window, and one larger than the cache evicts the parser's
// memory (a load of a file with an 8 MiB window costs a third more over the
// plain load than one with a 1 MiB window of the same size).
class ZstdSink final : public ByteSink {
 public:
  static constexpr int kWindowLog = 20;
  static constexpr int kMinLevel = 1;
  static constexpr int kMaxLevel = 19;  // the last level whose own window is not larger

  // `level` in kMinLevel..kMaxLevel. Throws std::bad_alloc.
  ZstdSink(ByteSink& out, int level);
  ~ZstdSink() override;
  ZstdSink(const ZstdSink&) = delete;
  ZstdSink& operator=(const ZstdSink&) = delete;

  [[nodiscard]] std::string write(std::string_view bytes) override;
  // Ends the frame and writes what is left; empty on success. Nothing may be
  // written after it.
  [[nodiscard]] std::string finish();

 private:
  class Encoder;  // libzstd's compression context
  // Compresses `bytes` (all of them, or the frame's end with `end`) and
  // writes the output on.
  std::string compress(std::string_view bytes, bool end);

  ByteSink& out_;
  std::unique_ptr<Encoder> encoder_;
  std::unique_ptr<char[]> buffer_;
  std::size_t buffer_size_;
  std::string error_;
};

}  // namespace marrowfin::io
