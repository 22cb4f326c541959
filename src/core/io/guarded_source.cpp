#include "core/io/guarded_source.hpp"

#include <cstddef>
#include <string>
#include <utility>

#include "core/io/error_texts.hpp"

namespace marrowfin::io {

std::string texts::decoded_limit(std::uint64_t limit) {
  auto grouped = [](std::uint64_t n) {
    std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
      if (i != 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
      out.push_back(digits[i]);
    }
    return out;
  };
  std::string text = "larger than the size limit of ";
  const char* unit = "bytes";
  for (auto [shift, name] : {std::pair{40, "TiB"}, {30, "GiB"}, {20, "MiB"}, {10, "KiB"}}) {
    std::uint64_t one = std::uint64_t{1} << shift;
    if (limit >= one && limit % one == 0) {
      limit >>= shift;
      unit = name;
      break;
    }
  }
  text.append(grouped(limit)).append(" ").append(unit).append(" once decoded");
  return text;
}

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
