// Splits a byte stream into lines through one growable buffer.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "core/parse/byte_source.hpp"

namespace marrowfin::parse {

// A line ends at a line feed or at the end of the input; the line feed and
// then one carriage return directly before it are removed. A lone carriage
// return is no line end. Lines longer than the buffer make it grow.
class LineReader {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  struct Line {
    char* data = nullptr;  // writable, valid until the next call
    std::size_t size = 0;
  };

  // `padding`: writable bytes that follow every line (its terminator among
  // them), for parsers that mark a line's end and read past it.
  LineReader(ByteSource& source, std::size_t padding);

  // The next line; false at the end of the input or on a read failure
  // (then error() is set).
  [[nodiscard]] bool next(Line& line);
  const std::string& error() const noexcept { return error_; }

 private:
  // Reads more input after [begin_, end_), moving or growing the buffer;
  // false at the end of the input or on failure.
  bool fill();

  ByteSource& source_;
  std::size_t padding_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = kBufferSize;  // bytes of data the buffer holds
  std::size_t begin_ = 0;               // unconsumed data: [begin_, end_)
  std::size_t end_ = 0;
  std::size_t scanned_ = 0;  // [begin_, scanned_) holds no line feed
  bool at_end_ = false;
  std::string error_;
};

}  // namespace marrowfin::parse
