// libFuzzer: any bytes as a gzip file, through both inflate backends, which
// must agree on success and on the decoded bytes. They may disagree on which
// failure malformed compressed data is: they check block headers at
// different points (one says "unexpected end of file" while the other
// already says "corrupt deflate stream"), and ISA-L decodes some malformed
// Huffman tables that zlib rejects, leaving the trailer's checksum to fail.
// On truncated input they may stop a few bytes apart before failing. Every
// failure is one of the decoder's own texts.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "parse/gzip_source.hpp"

namespace {

using namespace marrowfin::parse;

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
    if (!r.error.empty()) {
      out.error = r.error;
      return out;
    }
    if (r.size == 0) return out;
    out.data.append(buffer.data(), r.size);
    if (out.data.size() > (64u << 20)) return out;  // a deflate bomb: enough
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
    if (zlib.error.empty() != isal.error.empty()) std::abort();
    if (zlib.error.empty() && zlib.data != isal.data) std::abort();
    if (zlib.error == isal.error) {
      std::size_t common = std::min(zlib.data.size(), isal.data.size());
      if (zlib.data.compare(0, common, isal.data, 0, common) != 0) std::abort();
    }
  }
  return 0;
}
