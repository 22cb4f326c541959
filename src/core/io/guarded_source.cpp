#include "core/io/guarded_source.hpp"

#include <string>

#include "core/io/error_texts.hpp"

namespace marrowfin::io {

ReadResult GuardedSource::read(char* out, std::size_t capacity) {
  if (stopped_ || (stop_ && stop_())) {
    stopped_ = true;
    return {0, std::string(texts::kStopped)};
  }
  // Asks for one byte past the limit at most, so that a stream of exactly
  // the limit ends as it should.
  if (limit_ != 0 && capacity > limit_ - total_ + 1) capacity = limit_ - total_ + 1;
  ReadResult result = inner_.read(out, capacity);
  total_ += result.size;
  if (limit_ != 0 && total_ > limit_) {
    return {0, texts::decoded_limit(limit_)};
  }
  return result;
}

}  // namespace marrowfin::io
