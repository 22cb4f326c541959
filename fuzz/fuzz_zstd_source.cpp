// libFuzzer: any bytes as a zstd file, decoded from large reads into large
// buffers and from reads of a few bytes into small ones. Frames end where
// their bytes say and are decoded block by block, whatever the sizes, so the
// two must agree on the decoded bytes and on the failure, which must be one
// of the decoder's own texts. Before a failure one output need only begin the
// other: libzstd does not count what it wrote in a step that failed, and a
// step takes in what the read brought (with large reads, a block and the
// checksum that fails it come in one step).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "core/io/zstd_source.hpp"

namespace {

using namespace marrowfin::io;

// Runs of one byte make 128 KiB blocks from 4 bytes of input; every decoder
// stops at the same length.
constexpr std::size_t kEnough = std::size_t{8} << 20;

// Serves the bytes at most `chunk` at a time.
class Trickle final : public ByteSource {
 public:
  Trickle(std::string_view data, std::size_t chunk) : data_(data), chunk_(chunk) {}
  ReadResult read(char* out, std::size_t capacity) override {
    std::size_t n = std::min({capacity, chunk_, data_.size()});
    std::memcpy(out, data_.data(), n);
    data_.remove_prefix(n);
    return {n, {}};
  }

 private:
  std::string_view data_;
  std::size_t chunk_;
};

struct Decoded {
  std::string data;
  std::string error;
};

Decoded decode(std::string_view bytes, std::size_t in_chunk, std::size_t out_chunk) {
  ZstdSource source(std::make_unique<Trickle>(bytes, in_chunk));
  Decoded out;
  static std::string buffer(std::size_t{1} << 20, '\0');  // fresh pages each time cost most
  for (;;) {
    ReadResult r = source.read(buffer.data(), out_chunk);
    if (r.size > out_chunk) std::abort();
    if (!r.error.empty()) {
      if (r.size != 0) std::abort();
      out.error = r.error;
      return out;
    }
    if (r.size == 0) return out;
    out.data.append(buffer.data(), r.size);
    if (out.data.size() >= kEnough) {
      out.data.resize(kEnough);
      return out;
    }
  }
}

bool known(const std::string& error) {
  for (const char* text : {"", "invalid zstd header", "unsupported zstd frame", "corrupt zstd stream",
                           "unexpected end of file"}) {
    if (error == text) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Decoded large = decode(bytes, std::size_t{1} << 20, std::size_t{1} << 20);
  if (!known(large.error)) std::abort();
  Decoded small = decode(bytes, 7, 4093);
  if (small.error != large.error) std::abort();
  if (large.error.empty() ? small.data != large.data
                          : !small.data.starts_with(large.data) && !large.data.starts_with(small.data)) {
    std::abort();
  }
  return 0;
}
