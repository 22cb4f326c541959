// Where bytes go, the other way from byte_source.hpp: a file being written,
// or an encoder in front of one (zstd_sink.hpp); and the source that copies
// what it reads into a sink.
#pragma once

#include <string>
#include <string_view>

#include "core/io/byte_source.hpp"

namespace marrowfin::io {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all of `bytes`. Empty on success, else the failure's text; a sink
  // that failed takes nothing more and fails again with the same text.
  [[nodiscard]] virtual std::string write(std::string_view bytes) = 0;
};

// A file descriptor open for writing; not owned, never closed here.
// Interrupted and short writes are retried.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) noexcept : fd_(fd) {}
  [[nodiscard]] std::string write(std::string_view bytes) override;
  // The errno of its failure, 0 while none: a caller tells a failure of
  // its output (a full disk) from one of its input by it.
  int error_number() const noexcept { return error_number_; }

 private:
  int fd_;
  std::string error_;
  int error_number_ = 0;
};

// Bytes appended to a string, for tests.
class StringSink final : public ByteSink {
 public:
  [[nodiscard]] std::string write(std::string_view bytes) override {
    data.append(bytes);
    return {};
  }
  std::string data;
};

// Reads `inner` and hands every byte it yields to `copy`, in order, before
// passing it on: a load that reads to the end has copied exactly what it
// parsed. A failure of the copy fails the read with the copy's text.
class TeeSource final : public ByteSource {
 public:
  TeeSource(ByteSource& inner, ByteSink& copy) noexcept : inner_(inner), copy_(copy) {}
  [[nodiscard]] ReadResult read(char* out, std::size_t capacity) override;

 private:
  ByteSource& inner_;
  ByteSink& copy_;
};

}  // namespace marrowfin::io
