// Helpers shared by the native tests. Gzip members are built by hand, so
// that every field can be damaged on purpose.
#pragma once

#include <bzlib.h>
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/io/byte_source.hpp"
#include "core/io/bzip2_source.hpp"
#include "core/io/encoding.hpp"
#include "core/json/line_parser.hpp"

namespace marrowfin::test {

// Serves `data` in reads of at most `chunk` bytes; from offset `fail_at` on,
// every read fails. Keeps the room each read asked for.
class ChunkedSource final : public io::ByteSource {
 public:
  explicit ChunkedSource(std::string data, std::size_t chunk = 1 << 20,
                         std::size_t fail_at = std::string::npos)
      : data_(std::move(data)), chunk_(chunk), fail_at_(fail_at) {}
  io::ReadResult read(char* out, std::size_t capacity) override {
    requests.push_back(capacity);
    if (pos_ >= fail_at_) return {0, "Input/output error (os error 5)"};
    std::size_t n = std::min({capacity, chunk_, data_.size() - pos_, fail_at_ - pos_});
    std::memcpy(out, data_.data() + pos_, n);
    pos_ += n;
    return {n, {}};
  }
  // As a regular file, unless told it is a pipe.
  bool can_read_again() noexcept override { return !pipe; }
  io::ReadResult read_again(std::uint64_t offset, char* out, std::size_t capacity) override {
    if (pipe || offset >= pos_) return ByteSource::read_again(offset, out, capacity);
    if (cut) return {0, {}};
    std::size_t n = std::min<std::size_t>(capacity, pos_ - offset);
    std::memcpy(out, data_.data() + offset, n);
    return {n, {}};
  }
  std::vector<std::size_t> requests;
  bool pipe = false;
  bool cut = false;  // read again, it has ended
  std::size_t position() const noexcept { return pos_; }

 private:
  std::string data_;
  std::size_t chunk_;
  std::size_t fail_at_;
  std::size_t pos_ = 0;
};

struct Decoded {
  std::string data, error;
};

// Everything a decoder delivers, read `out_chunk` bytes at a time, and the
// failure it ends with (empty at a clean end).
inline Decoded drain(io::ByteSource& source, std::size_t out_chunk) {
  Decoded out;
  std::string buffer(out_chunk, '\0');
  for (;;) {
    io::ReadResult r = source.read(buffer.data(), buffer.size());
    if (r.size > buffer.size()) {
      ADD_FAILURE() << "read claims " << r.size << " bytes of " << buffer.size();
      r.size = buffer.size();
    }
    out.data.append(buffer.data(), r.size);
    if (!r.error.empty() || r.size == 0) {
      // A failed source stays failed, an ended one ended.
      io::ReadResult again = source.read(buffer.data(), buffer.size());
      EXPECT_TRUE(again.size == 0 && again.error == r.error) << r.error;
      out.error = r.error;
      return out;
    }
  }
}

// `data` with bit `bit` (counted from the first byte's high bit) flipped.
inline std::string flip(std::string data, std::size_t bit) {
  data[bit / 8] = static_cast<char>(data[bit / 8] ^ (0x80 >> (bit % 8)));
  return data;
}

// `data` with `value`'s low `count` bits written from bit `bit` on.
inline void put_bits(std::string& data, std::uint64_t bit, std::uint64_t value, unsigned count) {
  for (unsigned i = 0; i < count; ++i, ++bit) {
    auto mask = static_cast<char>(0x80 >> (bit % 8));
    if ((value >> (count - 1 - i)) & 1) {
      data[bit / 8] = static_cast<char>(data[bit / 8] | mask);
    } else {
      data[bit / 8] = static_cast<char>(data[bit / 8] & ~mask);
    }
  }
}

struct MemberOptions {
  std::string extra{}, name{}, comment{};  // FEXTRA payload, FNAME, FCOMMENT (no NUL)
  bool header_crc = false;
  std::uint32_t header_crc_delta = 0, crc_delta = 0, size_delta = 0;  // damage
};

inline std::uint32_t crc_of(const std::string& s) {
  return static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

inline std::string little_endian(std::uint32_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

inline std::string gzip_member(const std::string& text, const MemberOptions& o = {}) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string body(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(body.data());
  z.avail_out = static_cast<uInt>(body.size());
  deflate(&z, Z_FINISH);
  body.resize(z.total_out);
  deflateEnd(&z);

  int flags = (o.header_crc ? 2 : 0) | (o.extra.empty() ? 0 : 4) | (o.name.empty() ? 0 : 8) |
              (o.comment.empty() ? 0 : 16);
  std::string h = {'\x1f', '\x8b', '\x08', static_cast<char>(flags), 0, 0, 0, 0, 0, 3};
  if (!o.extra.empty()) h += little_endian(static_cast<std::uint32_t>(o.extra.size()), 2) + o.extra;
  if (!o.name.empty()) h += o.name + '\0';
  if (!o.comment.empty()) h += o.comment + '\0';
  if (o.header_crc) h += little_endian(crc_of(h) + o.header_crc_delta, 2);
  return h + body + little_endian(crc_of(text) + o.crc_delta, 4) +
         little_endian(static_cast<std::uint32_t>(text.size()) + o.size_delta, 4);
}

// Stream-like text, with long-distance matches.
inline std::string sample_text(std::size_t size, unsigned seed = 1) {
  std::string text;
  for (unsigned x = seed; text.size() < size;) {
    x = x * 1103515245u + 12345u;
    text += "{\"pt\":" + std::to_string(x % 100000) + ",\"mc\":[{\"id\":\"1.23\"}]}\n";
  }
  text.resize(size);
  return text;
}

// One bzip2 stream of `text`, blocks of `level` * 100000 bytes.
inline std::string bzip2_stream(const std::string& text, int level = 9) {
  std::string out(text.size() + text.size() / 50 + 1000, '\0');
  auto size = static_cast<unsigned>(out.size());
  int status = BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(text.data()),
                                        static_cast<unsigned>(text.size()), level, 0, 0);
  EXPECT_EQ(status, BZ_OK);
  out.resize(size);
  return out;
}

struct FrameOptions {
  int level = 3;
  bool checksum = true;
  bool content_size = true;  // else the header leaves it out, as a stream's does
};

// One zstd frame of `text`.
inline std::string zstd_frame(const std::string& text, const FrameOptions& o = {}) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, o.level);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, o.checksum ? 1 : 0);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, o.content_size ? 1 : 0);
  std::string out(ZSTD_compressBound(text.size()), '\0');
  out.resize(ZSTD_compress2(cctx, out.data(), out.size(), text.data(), text.size()));
  ZSTD_freeCCtx(cctx);
  return out;
}

// `text` in the usual form of `encoding`.
inline std::string encoded(const std::string& text, io::Encoding encoding) {
  switch (encoding) {
    case io::Encoding::kGzip: return gzip_member(text);
    case io::Encoding::kBzip2: return bzip2_stream(text);
    case io::Encoding::kZstd: return zstd_frame(text);
    case io::Encoding::kPlain: break;
  }
  return text;
}

inline std::string name_of(io::Encoding encoding) {
  const char* names[] = {"plain", "gzip", "bzip2", "zstd"};
  return names[static_cast<int>(encoding)];
}

// A decoder as the loader makes one: gzip on either inflate backend, bzip2
// by the reading thread or by threads of its own, zstd.
struct Codec {
  io::Encoding encoding;
  io::Inflater::Backend backend = io::Inflater::Backend::kZlib;
  unsigned threads = 0;
  // bzip2: a block at a time, the file read as far as the blocks need, from
  // a first read of 1000 bytes.
  std::size_t input_step = 0;

  // Everything decoded from `data`, read `out_chunk` bytes at a time from
  // `in_chunk`-byte reads of a source that fails from offset `fail_at` on.
  Decoded operator()(std::string data, std::size_t out_chunk = 65536, std::size_t in_chunk = 1 << 20,
                     std::size_t fail_at = std::string::npos) const {
    auto file = std::make_unique<ChunkedSource>(std::move(data), in_chunk, fail_at);
    if (input_step != 0) {
      io::Bzip2Source stepped(std::move(file), 0, input_step, false, 1000);
      return drain(stepped, out_chunk);
    }
    return drain(*io::decoded(std::move(file), encoding, backend, threads), out_chunk);
  }
  std::string name() const {
    std::string base = name_of(encoding);
    if (encoding == io::Encoding::kGzip) return base + (backend == io::Inflater::Backend::kZlib ? "_zlib" : "_isal");
    if (input_step != 0) return base + "_stepped";
    return encoding == io::Encoding::kBzip2 ? base + "_" + std::to_string(threads) + "_threads" : base;
  }
};

// Every decoder of `encoding` (ISA-L's when it is built in).
inline std::vector<Codec> codecs_of(io::Encoding encoding) {
  using io::Inflater;
  switch (encoding) {
    case io::Encoding::kGzip:
      if (!Inflater::available(Inflater::Backend::kIsal)) return {{encoding}};
      return {{encoding}, {encoding, Inflater::Backend::kIsal}};
    case io::Encoding::kBzip2: return {{encoding}, {encoding, {}, 1}, {encoding, {}, 2}, {encoding, {}, 0, 4096}};
    default: return {{encoding}};
  }
}

// The value of a JSON text that must parse.
inline json::Value parse_ok(std::string_view text, util::Arena& arena) {
  json::JsonResult parsed = json::parse_json(text, arena);
  EXPECT_EQ(parsed.error, "") << text;
  return parsed.value;
}

// The value of `text` parsed as the member `key` of an object, as the loader
// hands it over (ladders under a ladder key arrive packed when they can).
inline json::Value member_value(std::string_view key, std::string_view text, util::Arena& arena) {
  json::Value object = parse_ok("{\"" + std::string(key) + "\":" + std::string(text) + "}", arena);
  return object.members().empty() ? json::Value() : object.members().front();
}

}  // namespace marrowfin::test
