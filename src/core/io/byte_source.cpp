#include "core/io/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace marrowfin::io {
namespace {

// strerror_r comes in two flavours; both end up as a C string.
[[maybe_unused]] const char* error_string(int result, const char* buffer) noexcept {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_string(const char* result, const char*) noexcept {
  return result;
}

}  // namespace

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

ReadResult File::read(char* out, std::size_t capacity) {
  for (;;) {
    ssize_t n = ::read(fd_, out, capacity);
    if (n >= 0) return {static_cast<std::size_t>(n), {}};
    if (errno != EINTR) return {0, os_error_text(errno)};
  }
}

ReadResult ByteSource::read_again(std::uint64_t, char*, std::size_t) {
  return {0, os_error_text(ESPIPE)};
}

bool File::can_read_again() noexcept {
  if (!rereadable_) {
    // Read from its start by us alone: nothing was read before it was opened.
    struct stat st {};
    rereadable_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
  }
  return *rereadable_;
}

ReadResult File::read_again(std::uint64_t offset, char* out, std::size_t capacity) {
  if (!can_read_again()) return ByteSource::read_again(offset, out, capacity);
  for (;;) {
    ssize_t n = ::pread(fd_, out, capacity, static_cast<off_t>(offset));
    if (n >= 0) return {static_cast<std::size_t>(n), {}};
    if (errno != EINTR) return {0, os_error_text(errno)};
  }
}

ReadResult MemorySource::read(char* out, std::size_t capacity) {
  std::size_t n = std::min(capacity, data_.size());
  std::memcpy(out, data_.data(), n);
  data_.remove_prefix(n);
  return {n, {}};
}

ReadResult PrefixedSource::read(char* out, std::size_t capacity) {
  if (pos_ < prefix_.size()) {
    std::size_t n = std::min(capacity, prefix_.size() - pos_);
    std::memcpy(out, prefix_.data() + pos_, n);
    pos_ += n;
    if (pos_ == prefix_.size()) {
      prefix_ = std::string();  // freed once handed out
      pos_ = 0;
    }
    return {n, {}};
  }
  return rest_->read(out, capacity);
}

OpenResult open_file(std::string_view path) {
  std::string terminated(path);
  int fd;
  do {
    fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return {nullptr, os_error_text(errno)};
  return {std::make_unique<File>(fd), {}};
}

std::string os_error_text(int error_number) {
  char buffer[256] = {};
  std::string text = error_string(strerror_r(error_number, buffer, sizeof buffer), buffer);
  text += " (os error ";
  text += std::to_string(error_number);
  text += ')';
  return text;
}

}  // namespace marrowfin::io
