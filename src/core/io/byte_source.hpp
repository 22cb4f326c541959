// Files and the byte streams read from them: the open file itself, or a
// decoder in front of it (encoding.hpp chooses it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace marrowfin::io {

struct ReadResult {
  std::size_t size = 0;  // bytes written; 0 with no error at the end of the stream
  std::string error;     // the failure's text, else empty
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `capacity` (> 0) bytes into `out`.
  [[nodiscard]] virtual ReadResult read(char* out, std::size_t capacity) = 0;

  // Whether read_again() can give bytes that read() gave before: a reader
  // may then drop them from memory. A regular file can; a pipe cannot.
  [[nodiscard]] virtual bool can_read_again() noexcept { return false; }
  // Reads up to `capacity` bytes from `offset` of what read() gave.
  [[nodiscard]] virtual ReadResult read_again(std::uint64_t offset, char* out, std::size_t capacity);
};

// A file open for reading; closed when destroyed.
class File final : public ByteSource {
 public:
  explicit File(int fd) noexcept : fd_(fd) {}
  ~File() override;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Interrupted reads are retried.
  [[nodiscard]] ReadResult read(char* out, std::size_t capacity) override;
  // When it is a regular file (as open_file() opens it: read from its start).
  [[nodiscard]] bool can_read_again() noexcept override;
  [[nodiscard]] ReadResult read_again(std::uint64_t offset, char* out, std::size_t capacity) override;

 private:
  int fd_;
  std::optional<bool> rereadable_;  // asked once
};

// Bytes already in memory, as a file would deliver them. Not copied: they
// must outlive the source.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view data) noexcept : data_(data) {}

  [[nodiscard]] ReadResult read(char* out, std::size_t capacity) override;

 private:
  std::string_view data_;
};

// Bytes already read from a source, then the rest of the source: a reader
// that looked at a file's start hands it on whole, without reading it again.
class PrefixedSource final : public ByteSource {
 public:
  PrefixedSource(std::string prefix, std::unique_ptr<ByteSource> rest) noexcept
      : prefix_(std::move(prefix)), rest_(std::move(rest)) {}

  [[nodiscard]] ReadResult read(char* out, std::size_t capacity) override;

 private:
  std::string prefix_;
  std::size_t pos_ = 0;  // of the prefix, handed out
  std::unique_ptr<ByteSource> rest_;
};

struct OpenResult {
  std::unique_ptr<File> file;  // null on failure
  std::string error;
};

// Opens `path` (bytes, no NUL) for reading.
[[nodiscard]] OpenResult open_file(std::string_view path);

// The system's text for an error number and the number itself:
// "No such file or directory (os error 2)".
std::string os_error_text(int error_number);

}  // namespace marrowfin::io
