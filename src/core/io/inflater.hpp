// Raw DEFLATE (RFC 1951) decompression with a running CRC-32 of the output,
// behind one interface for the two libraries it can use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace marrowfin::io {

struct InflateStep {
  enum class Status : std::uint8_t {
    kMore,     // needs more input or more output space
    kEnd,      // the stream ended
    kCorrupt,  // malformed data
  };
  std::size_t consumed = 0;
  std::size_t produced = 0;
  Status status = Status::kMore;
};

class Inflater {
 public:
  enum class Backend : std::uint8_t { kZlib, kIsal };

  virtual ~Inflater() = default;
  // Starts a new stream: history and CRC cleared.
  virtual void reset() = 0;
  [[nodiscard]] virtual InflateStep inflate(const std::uint8_t* in, std::size_t in_size,
                                            std::uint8_t* out, std::size_t out_size) = 0;
  // CRC-32 of everything produced since reset().
  virtual std::uint32_t crc() const noexcept = 0;
  // After kEnd: input bytes that were consumed but lie past the end of the
  // stream (at most 8), copied into `out`; returns how many.
  virtual std::size_t read_ahead(std::span<std::uint8_t, 8> out) const noexcept = 0;

  // The fastest backend built in.
  static Backend default_backend() noexcept;
  // Whether `backend` was built in.
  static bool available(Backend backend) noexcept;
  // Throws std::bad_alloc when memory runs out.
  static std::unique_ptr<Inflater> create(Backend backend);
};

}  // namespace marrowfin::io
