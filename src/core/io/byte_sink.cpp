#include "core/io/byte_sink.hpp"

#include <unistd.h>

#include <cerrno>

namespace marrowfin::io {

std::string FdSink::write(std::string_view bytes) {
  while (error_.empty() && !bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (errno != EINTR) {
      error_number_ = errno;
      error_ = os_error_text(errno);
    }
  }
  return error_;
}

ReadResult TeeSource::read(char* out, std::size_t capacity) {
  ReadResult result = inner_.read(out, capacity);
  if (result.size != 0) {
    std::string failure = copy_.write({out, result.size});
    if (!failure.empty()) return {0, std::move(failure)};
  }
  return result;
}

}  // namespace marrowfin::io
