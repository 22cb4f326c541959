// libFuzzer: any bytes as a gzip file, through both inflate backends, which
// must agree on success and on the decoded bytes. They may disagree on which
// failure malformed compressed data is: they check block headers at
// different points (one says "unexpected end of file" while the other
// already says "corrupt deflate stream"), and ISA-L decodes some malformed
// Huffman tables that zlib rejects, leaving the trailer's checksum to fail,
// or even to pass when the fuzzer forges it (it sees the comparison). Then
// zlib's output up to its failure must begin ISA-L's. On truncated input
// they may stop a few bytes apart before failing. Every failure is one of
// the decoder's own texts.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/io/gzip_source.hpp"

namespace {

using namespace marrowfin::io;

constexpr std::size_t kEnough = std::size_t{64} << 20;

struct Decoded {
  std::string data;
  std::string error;
};

Decoded decode(const std::uint8_t* data, std::size_t size, Inflater::Backend backend,
               std::size_t chunk) {
  GzipSource source(
      std::make_unique<MemorySource>(std::string_view(reinterpret_cast<const char*>(data), size)),
      backend);
  Decoded out;
  std::string buffer(chunk, '\0');
  for (;;) {
    ReadResult r = source.read(buffer.data(), buffer.size());
    if (r.size > buffer.size()) std::abort();
    if (!r.error.empty()) {
      out.error = r.error;
      return out;
    }
    if (r.size == 0) return out;
    out.data.append(buffer.data(), r.size);
    if (out.data.size() > kEnough) {  // a deflate bomb; both backends stop at one length
      out.data.resize(kEnough);
      return out;
    }
  }
}

bool known(const std::string& error) {
  for (const char* text : {"", "invalid gzip header", "gzip header field too long",
                           "corrupt deflate stream",
                           "corrupt gzip stream does not have a matching checksum",
                           "unexpected end of file"}) {
    if (error == text) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Decoded zlib = decode(data, size, Inflater::Backend::kZlib, 4096);
  if (!known(zlib.error)) std::abort();
  if (Inflater::available(Inflater::Backend::kIsal)) {
    Decoded isal = decode(data, size, Inflater::Backend::kIsal, 65536);
    if (!known(isal.error)) std::abort();
    bool isal_lenient = isal.error.empty() && zlib.error == "corrupt deflate stream" &&
                        isal.data.compare(0, zlib.data.size(), zlib.data) == 0;
    if (zlib.error.empty() != isal.error.empty() && !isal_lenient) std::abort();
    if (zlib.error.empty() && zlib.data != isal.data) std::abort();
    if (zlib.error == isal.error) {
      std::size_t common = std::min(zlib.data.size(), isal.data.size());
      if (zlib.data.compare(0, common, isal.data, 0, common) != 0) std::abort();
    }
  }
  return 0;
}
