#include "core/parse/line_reader.hpp"

#include <cstring>

namespace marrowfin::parse {

LineReader::LineReader(ByteSource& source, std::size_t padding)
    : source_(source), padding_(padding), buffer_(new char[kBufferSize + padding]()) {}

bool LineReader::next(Line& line) {
  for (;;) {
    if (auto* feed = static_cast<char*>(
            std::memchr(buffer_.get() + scanned_, '\n', end_ - scanned_))) {
      char* start = buffer_.get() + begin_;
      std::size_t size = static_cast<std::size_t>(feed - start);
      if (size > 0 && start[size - 1] == '\r') --size;
      begin_ = scanned_ = static_cast<std::size_t>(feed - buffer_.get()) + 1;
      line = {start, size};
      return true;
    }
    scanned_ = end_;
    if (!at_end_ && fill()) continue;
    if (!error_.empty() || begin_ == end_) return false;
    line = {buffer_.get() + begin_, end_ - begin_};  // the last line has no line feed
    begin_ = scanned_ = end_;
    return true;
  }
}

bool LineReader::fill() {
  if (begin_ > 0) {  // keep the partial line, at the front
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    scanned_ -= begin_;
    begin_ = 0;
  }
  if (end_ == capacity_) {
    // One line fills the buffer: there is no limit on a line's length.
    std::size_t capacity = capacity_ * 2;
    std::unique_ptr<char[]> grown(new char[capacity + padding_]());
    std::memcpy(grown.get(), buffer_.get(), end_);
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  ReadResult result = source_.read(buffer_.get() + end_, capacity_ - end_);
  if (!result.error.empty()) {
    error_ = std::move(result.error);
    at_end_ = true;
    return false;
  }
  if (result.size == 0) {
    at_end_ = true;
    return false;
  }
  end_ += result.size;
  return true;
}

}  // namespace marrowfin::parse
