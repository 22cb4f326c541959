#include "core/io/gzip_source.hpp"

#include <zlib.h>

#include <vector>

#include "core/io/error_texts.hpp"

namespace marrowfin::io {
namespace {

constexpr int kMagic1 = 0x1F;
constexpr int kMagic2 = 0x8B;
constexpr int kMethodDeflate = 8;
constexpr int kFlagHeaderCrc = 0x02;
constexpr int kFlagExtra = 0x04;
constexpr int kFlagName = 0x08;
constexpr int kFlagComment = 0x10;
constexpr std::size_t kMaxField = 65535;

}  // namespace

GzipSource::GzipSource(std::unique_ptr<ByteSource> file, Inflater::Backend backend)
    : file_(std::move(file)),
      inflater_(Inflater::create(backend)),
      input_(new std::uint8_t[kInputBlock]) {}

bool GzipSource::refill() {
  ReadResult result = file_->read(reinterpret_cast<char*>(input_.get()), kInputBlock);
  if (!result.error.empty()) {
    error_ = std::move(result.error);
    return false;
  }
  input_pos_ = 0;
  input_end_ = result.size;
  input_eof_ = result.size == 0;
  return true;
}

int GzipSource::next_byte() {
  if (ahead_pos_ != ahead_end_) return ahead_[ahead_pos_++];
  if (input_pos_ == input_end_) {
    if (input_eof_) return kEnd;
    if (!refill()) return kError;
    if (input_eof_) return kEnd;
  }
  return input_[input_pos_++];
}

std::string GzipSource::read_header_rest() {
  // Every header byte is kept for the optional header CRC.
  std::vector<std::uint8_t> header = {kMagic1, kMagic2};
  auto take = [&](int& byte) -> std::string {
    byte = next_byte();
    if (byte == kError) return error_;
    if (byte == kEnd) return std::string(texts::kUnexpectedEnd);
    header.push_back(static_cast<std::uint8_t>(byte));
    return {};
  };
  int byte = 0;
  int method = 0;
  int flags = 0;
  std::string failure;
  if (!(failure = take(method)).empty()) return failure;
  if (method != kMethodDeflate) return std::string(texts::kInvalidGzipHeader);
  if (!(failure = take(flags)).empty()) return failure;
  for (int i = 0; i < 6; ++i) {  // modification time, extra flags, system
    if (!(failure = take(byte)).empty()) return failure;
  }
  if (flags & kFlagExtra) {
    int low = 0;
    int high = 0;
    if (!(failure = take(low)).empty() || !(failure = take(high)).empty()) return failure;
    for (int left = low | (high << 8); left > 0; --left) {
      if (!(failure = take(byte)).empty()) return failure;
    }
  }
  for (int field : {kFlagName, kFlagComment}) {
    if ((flags & field) == 0) continue;
    for (std::size_t length = 0;; ++length) {
      if (!(failure = take(byte)).empty()) return failure;
      if (byte == 0) break;
      if (length == kMaxField) return std::string(texts::kGzipFieldTooLong);
    }
  }
  if (flags & kFlagHeaderCrc) {
    auto expected = static_cast<std::uint32_t>(crc32(0L, header.data(), static_cast<uInt>(header.size()))) & 0xFFFFu;
    int low = 0;
    int high = 0;
    if (!(failure = take(low)).empty() || !(failure = take(high)).empty()) return failure;
    if (static_cast<std::uint32_t>(low | (high << 8)) != expected) return std::string(texts::kGzipChecksum);
  }
  return {};
}

std::string GzipSource::read_trailer() {
  std::uint8_t trailer[8];
  for (std::uint8_t& b : trailer) {
    int byte = next_byte();
    if (byte == kError) return error_;
    if (byte == kEnd) return std::string(texts::kUnexpectedEnd);
    b = static_cast<std::uint8_t>(byte);
  }
  auto word = [&](int at) {
    return static_cast<std::uint32_t>(trailer[at]) | static_cast<std::uint32_t>(trailer[at + 1]) << 8 |
           static_cast<std::uint32_t>(trailer[at + 2]) << 16 |
           static_cast<std::uint32_t>(trailer[at + 3]) << 24;
  };
  if (word(0) != inflater_->crc() || word(4) != member_size_) return std::string(texts::kGzipChecksum);
  return {};
}

bool GzipSource::next_member_follows() {
  int byte;
  do {
    byte = next_byte();
  } while (byte == 0);
  if (byte != kMagic1) return false;  // end of file, junk or a read error
  return next_byte() == kMagic2;
}

ReadResult GzipSource::read(char* out, std::size_t capacity) {
  auto* dest = reinterpret_cast<std::uint8_t*>(out);
  std::size_t produced = 0;
  std::string failure;
  while (produced < capacity && failure.empty()) {
    switch (state_) {
      case State::kHeader: {
        if (!magic_read_) {
          int first = next_byte();
          int second = first >= 0 ? next_byte() : first;
          if (first == kError || second == kError) {
            failure = error_;
            break;
          }
          if (first == kEnd || second == kEnd) {
            failure = texts::kUnexpectedEnd;
            break;
          }
          if (first != kMagic1 || second != kMagic2) {
            failure = texts::kInvalidGzipHeader;
            break;
          }
        }
        failure = read_header_rest();
        if (!failure.empty()) break;
        inflater_->reset();
        member_size_ = 0;
        state_ = State::kBody;
        break;
      }
      case State::kBody: {
        // The read-ahead of the previous member always lies within its
        // 8-byte trailer, so the body starts in the input block.
        if (input_pos_ == input_end_ && !input_eof_ && !refill()) {
          failure = error_;
          break;
        }
        InflateStep step = inflater_->inflate(input_.get() + input_pos_, input_end_ - input_pos_,
                                              dest + produced, capacity - produced);
        input_pos_ += step.consumed;
        produced += step.produced;
        member_size_ += static_cast<std::uint32_t>(step.produced);
        if (step.status == InflateStep::Status::kCorrupt) {
          failure = texts::kCorruptDeflate;
        } else if (step.status == InflateStep::Status::kEnd) {
          ahead_end_ = inflater_->read_ahead(ahead_);
          ahead_pos_ = 0;
          state_ = State::kTrailer;
        } else if (step.consumed == 0 && step.produced == 0 && input_pos_ == input_end_ &&
                   input_eof_) {
          failure = texts::kUnexpectedEnd;
        }
        break;
      }
      case State::kTrailer:
        failure = read_trailer();
        if (failure.empty()) state_ = State::kNextMember;
        break;
      case State::kNextMember:
        magic_read_ = next_member_follows();
        if (!error_.empty()) {
          failure = error_;
        } else {
          state_ = magic_read_ ? State::kHeader : State::kDone;
        }
        break;
      case State::kDone:
        return {produced, {}};
      case State::kFailed:
        return {0, error_};
    }
  }
  if (!failure.empty()) {
    state_ = State::kFailed;
    error_ = std::move(failure);
    // What was decoded before the failure comes first.
    if (produced == 0) return {0, error_};
  }
  return {produced, {}};
}

}  // namespace marrowfin::io
