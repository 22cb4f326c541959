// A source that stops a read that has gone on for too long: past a limit on
// the bytes it yields (a small compressed file may decode to gigabytes), or
// when its owner asks it to stop (the user pressed Ctrl-C).
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "core/io/byte_source.hpp"

namespace marrowfin::io {

class GuardedSource final : public ByteSource {
 public:
  // `limit` bytes at most (0 for none); `stop`, when set, is asked before
  // every read of the inner source and ends the stream when it says true.
  GuardedSource(ByteSource& inner, std::uint64_t limit, std::function<bool()> stop) noexcept
      : inner_(inner), limit_(limit), stop_(std::move(stop)) {}

  // Past the limit, fails with the limit's text; once stopped, fails with
  // kStopped (error_texts.hpp), and stopped() tells the two apart.
  [[nodiscard]] ReadResult read(char* out, std::size_t capacity) override;

  bool stopped() const noexcept { return stopped_; }

 private:
  ByteSource& inner_;
  std::uint64_t limit_;
  std::function<bool()> stop_;
  std::uint64_t total_ = 0;
  bool stopped_ = false;
};

}  // namespace marrowfin::io
