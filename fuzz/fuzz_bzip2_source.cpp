// libFuzzer: any bytes as a bzip2 file, decoded by libbz2 alone, a block at a
// time (read in large and in small pieces, and with the input read only as
// far as the blocks need and each block's start handed out before it is
// walked whole) and by the pipeline on 1 and on 2 threads of its
// own. All must agree on the decoded bytes and on the failure.
// How much of a damaged block comes out before its failure depends on the
// output space (libbz2 does not count what it wrote of a block it then finds
// corrupt), so after a failure one output need only begin the other; for the
// same reason a decoder cut off at the length bound below may not have come to
// a failure that another met first. Every failure is one of the decoder's own
// texts.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "core/io/bzip2_decoder.hpp"
#include "core/io/bzip2_source.hpp"

namespace {

using namespace marrowfin::io;

// Runs of one byte make blocks of up to 45 MB from a few bytes of input;
// every decoder stops at the same length.
constexpr std::size_t kEnough = std::size_t{8} << 20;

struct Decoded {
  std::string data;
  std::string error;
  bool cut = false;  // stopped at kEnough: what came after is unknown
};

Decoded decode(std::string_view bytes, unsigned threads, std::size_t chunk,
               bool libbz2_only = false, std::size_t input_step = 0) {
  // Stepped, the input is read from 64 bytes on, as far as each block needs.
  Bzip2Source source(std::make_unique<MemorySource>(bytes), threads, input_step, libbz2_only, 64);
  Decoded out;
  static std::string buffer(std::size_t{1} << 20, '\0');  // fresh pages each time cost most
  for (;;) {
    ReadResult r = source.read(buffer.data(), chunk);
    if (r.size > chunk) std::abort();
    if (!r.error.empty()) {
      out.error = r.error;
      return out;
    }
    if (r.size == 0) return out;
    out.data.append(buffer.data(), r.size);
    if (out.data.size() > kEnough) {
      out.data.resize(kEnough);
      out.cut = true;
      return out;
    }
  }
}

bool known(const std::string& error) {
  for (const char* text :
       {"", "invalid bzip2 header", "corrupt bzip2 stream", "unexpected end of file"}) {
    if (error == text) return true;
  }
  return false;
}

void check_agree(const Decoded& a, const Decoded& b) {
  if (a.cut != b.cut) {
    // The one that ended before the bound must have failed there, early in a
    // block the other went on writing.
    const Decoded& ended = a.cut ? b : a;
    if (ended.error.empty()) std::abort();
  } else if (a.error != b.error) {
    std::abort();
  }
  bool whole = !a.cut && !b.cut && a.error.empty();
  if (whole ? a.data != b.data : !a.data.starts_with(b.data) && !b.data.starts_with(a.data)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The block decoder alone on the input as it is, exactly its size, where
  // a read past the end is seen.
  if (size >= 4 && bytes.starts_with("BZh")) {
    static bzip2::BlockDecoder decoder;
    static marrowfin::util::PageBuffer out;
    out.resize(0);
    (void)decoder.decode(bytes, 32, bytes[3] >= '1' && bytes[3] <= '9' ? bytes[3] : '9', out);
  }
  Decoded one_pass = decode(bytes, 0, 1 << 20, true);
  if (!known(one_pass.error)) std::abort();
  check_agree(one_pass, decode(bytes, 0, 1 << 20));
  check_agree(one_pass, decode(bytes, 0, 4093));
  check_agree(one_pass, decode(bytes, 0, 4093, false, 4096));
  check_agree(one_pass, decode(bytes, 1, 1 << 20));
  check_agree(one_pass, decode(bytes, 2, 4093));
  return 0;
}
