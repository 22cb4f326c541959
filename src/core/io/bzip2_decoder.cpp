#include "core/io/bzip2_decoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/io/bzip2_blocks.hpp"
#include "core/util/shelf.hpp"

namespace marrowfin::io::bzip2 {
namespace {

constexpr unsigned kMaxGroups = 6;
constexpr unsigned kMaxAlphabet = 258;
constexpr unsigned kMaxCodeLength = 20;
constexpr unsigned kGroupSize = 50;
constexpr std::uint32_t kMaxRows = 900000;  // a block's text at level 9
constexpr unsigned kMaxSelectors = 2 + kMaxRows / kGroupSize;  // more are read and dropped
constexpr unsigned kRunB = 1;  // RUNA is 0: symbols up to RUNB are run digits
// Codes up to this long are read with one look-up; longer ones bit by bit.
// The tables of six groups stay in the first-level cache.
constexpr unsigned kLookupBits = 10;
constexpr unsigned kBad = 0xFFFF;

using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

// The CRC of bzip2 (most significant bit first), eight bytes at a time:
// table k is a byte's effect followed by k zero bytes.
constexpr CrcTables kCrc = [] {
  CrcTables t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b << 24;
    for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    t[0][b] = c;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] << 8) ^ t[0][t[k - 1][b] >> 24];
  }
  return t;
}();

constexpr std::uint32_t bswap(std::uint32_t v) noexcept { return __builtin_bswap32(v); }
constexpr std::uint64_t bswap(std::uint64_t v) noexcept { return __builtin_bswap64(v); }

std::uint32_t load_be32(const unsigned char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return std::endian::native == std::endian::little ? bswap(v) : v;
}

std::uint64_t load_be64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return std::endian::native == std::endian::little ? bswap(v) : v;
}

std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return std::endian::native == std::endian::little ? v : bswap(v);
}

// Moves the byte at `pos` of the list to its front.
[[gnu::always_inline]] inline std::uint8_t move_to_front(std::uint8_t* list, unsigned pos) noexcept {
  std::uint8_t byte = list[pos];
#if defined(__SSE2__)
  if (pos < 16) {
    // The first 16 bytes shifted up by one where they are before `pos`.
    static constexpr auto kBefore = [] {
      std::array<std::array<std::uint8_t, 16>, 16> masks{};
      for (unsigned p = 0; p < 16; ++p) {
        for (unsigned k = 0; k < 16; ++k) masks[p][k] = k <= p ? 0xFF : 0;
      }
      return masks;
    }();
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(list));
    __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kBefore[pos].data()));
    __m128i moved = _mm_or_si128(_mm_and_si128(mask, _mm_slli_si128(v, 1)), _mm_andnot_si128(mask, v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(list), moved);
    list[0] = byte;
    return byte;
  }
#endif
  std::memmove(list + 1, list, pos);
  list[0] = byte;
  return byte;
}

std::uint32_t crc_of(const unsigned char* p, std::size_t n) noexcept {
  std::uint32_t crc = ~0u;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint32_t one = crc ^ load_be32(p);
    std::uint32_t two = load_be32(p + 4);
    crc = kCrc[7][one >> 24] ^ kCrc[6][(one >> 16) & 0xFF] ^ kCrc[5][(one >> 8) & 0xFF] ^
          kCrc[4][one & 0xFF] ^ kCrc[3][two >> 24] ^ kCrc[2][(two >> 16) & 0xFF] ^
          kCrc[1][(two >> 8) & 0xFF] ^ kCrc[0][two & 0xFF];
  }
  for (; n > 0; ++p, --n) crc = (crc << 8) ^ kCrc[0][(crc >> 24) ^ *p];
  return ~crc;
}

// Bits most significant first, zeros past the end of the data (which a
// block must not reach: see overran()).
class BitReader {
 public:
  BitReader(std::string_view data, std::uint64_t bit) noexcept
      : data_(reinterpret_cast<const unsigned char*>(data.data())), size_(data.size()),
        pos_(static_cast<std::size_t>(std::min<std::uint64_t>(bit / 8, data.size()))) {
    refill();
    skip(static_cast<unsigned>(bit % 8));
  }

  // At least 56 bits to peek at.
  [[gnu::always_inline]] void refill() noexcept {
    if (pos_ <= size_ && size_ - pos_ >= 8) {  // once past the end, pos_ only counts
      buffer_ |= load_be64(data_ + pos_) >> count_;
      pos_ += (63 - count_) >> 3;
      count_ |= 56;
      return;
    }
    while (count_ <= 56) {
      std::uint64_t byte = pos_ < size_ ? data_[pos_] : 0u;
      buffer_ |= byte << (56 - count_);
      ++pos_;  // past the end too, so that bit() counts the zeros read
      count_ += 8;
    }
  }
  // `n` from 1 to 32, at most what a refill made sure of.
  [[nodiscard]] std::uint32_t peek(unsigned n) const noexcept {
    return static_cast<std::uint32_t>(buffer_ >> (64 - n));
  }
  void skip(unsigned n) noexcept {
    buffer_ <<= n;
    count_ -= n;
  }
  std::uint32_t get(unsigned n) noexcept {
    refill();
    std::uint32_t value = peek(n);
    skip(n);
    return value;
  }
  [[nodiscard]] std::uint64_t bit() const noexcept { return 8 * std::uint64_t{pos_} - count_; }
  [[nodiscard]] bool overran() const noexcept { return pos_ > size_ && bit() > 8 * std::uint64_t{size_}; }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t pos_;  // the next byte to load
  std::uint64_t buffer_ = 0;
  unsigned count_ = 0;  // bits in buffer_, from its top
};

// A group's code, read as libbz2 reads it (limits per code length, and the
// symbols in order of length), so that malformed tables decode alike; the
// look-up only caches where that reading ends for each first kLookupBits.
struct Code {
  std::array<std::uint16_t, 1u << kLookupBits> lookup;  // symbol << 5 | length; 0: bit by bit
  std::array<std::int32_t, kMaxCodeLength + 3> limit;
  std::array<std::int32_t, kMaxCodeLength + 3> base;
  std::array<std::uint16_t, kMaxAlphabet> perm;
  std::int32_t symbols = 0;  // entries of perm
  unsigned min_length = 0;

  void build(const std::uint8_t* lengths, unsigned alphabet) noexcept {
    unsigned min = 32, max = 0;
    for (unsigned i = 0; i < alphabet; ++i) {
      min = std::min<unsigned>(min, lengths[i]);
      max = std::max<unsigned>(max, lengths[i]);
    }
    min_length = min;
    symbols = 0;
    for (unsigned len = min; len <= max; ++len) {
      for (unsigned i = 0; i < alphabet; ++i) {
        if (lengths[i] == len) perm[static_cast<std::size_t>(symbols++)] = static_cast<std::uint16_t>(i);
      }
    }
    base.fill(0);
    limit.fill(0);
    for (unsigned i = 0; i < alphabet; ++i) ++base[lengths[i] + 1u];
    for (std::size_t i = 1; i < base.size(); ++i) base[i] += base[i - 1];
    std::int32_t vec = 0;
    for (unsigned len = min; len <= max; ++len) {
      vec += base[len + 1] - base[len];
      limit[len] = vec - 1;
      vec <<= 1;
    }
    for (unsigned len = min + 1; len <= max; ++len) {
      base[len] = ((limit[len - 1] + 1) << 1) - base[len];
    }
    for (std::uint32_t prefix = 0; prefix < lookup.size(); ++prefix) {
      std::uint16_t entry = 0;
      unsigned len = min;
      if (len <= kLookupBits) {
        auto vec_at = static_cast<std::int32_t>(prefix >> (kLookupBits - len));
        for (;;) {
          if (vec_at <= limit[len]) {
            std::int32_t index = vec_at - base[len];
            if (index >= 0 && index < symbols) {
              entry = static_cast<std::uint16_t>(unsigned{perm[static_cast<std::size_t>(index)]} << 5 | len);
            }
            break;
          }
          if (++len > kLookupBits) break;
          vec_at = (vec_at << 1) | static_cast<std::int32_t>((prefix >> (kLookupBits - len)) & 1u);
        }
      }
      lookup[prefix] = entry;
    }
  }

  // The next symbol, or kBad.
  [[gnu::always_inline]] unsigned read(BitReader& in) const noexcept {
    in.refill();
    unsigned entry = lookup[in.peek(kLookupBits)];
    if (entry != 0) [[likely]] {
      in.skip(entry & 31);
      return entry >> 5;
    }
    unsigned len = min_length;
    auto vec = static_cast<std::int32_t>(in.peek(len));
    in.skip(len);
    for (;;) {
      if (len > kMaxCodeLength) return kBad;
      if (vec <= limit[len]) break;
      ++len;
      vec = (vec << 1) | static_cast<std::int32_t>(in.peek(1));
      in.skip(1);
    }
    std::int32_t index = vec - base[len];
    if (index < 0 || index >= symbols) return kBad;
    return perm[static_cast<std::size_t>(index)];
  }
};

// A block's symbols, each group of 50 read with the code its selector names.
struct Symbols {
  BitReader& in;
  const Code* codes;
  const std::uint8_t* selectors;
  unsigned count;  // of selectors
  unsigned group = 0;
  unsigned left = 0;
  const Code* code = nullptr;

  // The next symbol, or kBad.
  [[gnu::always_inline]] unsigned next() noexcept {
    if (left == 0) {
      if (group >= count) return kBad;
      code = &codes[selectors[group++]];
      left = kGroupSize;
    }
    --left;
    return code->read(in);
  }
};

// The transform: each position's successor in the text, in 3 bytes (20 bits
// for 900,000 positions; the top bit marks where a piece of the walk
// starts), read 4 at a time: the table has a byte to spare at its end.
constexpr std::size_t kEntry = 3;
constexpr std::uint32_t kRowBits = 0xFFFFFu;
constexpr std::uint32_t kMark = 0x800000u;

[[gnu::always_inline]] inline std::uint32_t entry_at(const unsigned char* tt, std::uint32_t row) noexcept {
  std::uint32_t v;
  std::memcpy(&v, tt + kEntry * row, sizeof v);
  return std::endian::native == std::endian::little ? v : bswap(v);
}

void set_successor(unsigned char* tt, std::uint32_t row, std::uint32_t next) noexcept {
  unsigned char* entry = tt + kEntry * row;
  entry[0] = static_cast<unsigned char>(next);
  entry[1] = static_cast<unsigned char>(next >> 8);
  entry[2] = static_cast<unsigned char>(next >> 16);
}

void set_mark(unsigned char* tt, std::uint32_t row) noexcept { tt[kEntry * row + 2] |= kMark >> 16; }

// A position's byte. Positions are in order of their bytes, so it is the
// byte whose range holds the position. A look-up by the position's 256th
// gives the byte of the first of its 256 positions and how far its range
// goes among them; past that (in about one 256th in a hundred) the ranges
// are searched.
class ByteOf {
 public:
  void build(const std::array<std::uint32_t, 256>& counts, std::uint32_t n) noexcept {
    ranges_ = 0;
    std::uint32_t end = 0;
    for (unsigned c = 0; c < 256; ++c) {
      if (counts[c] == 0) continue;
      end += counts[c];
      ends_[ranges_] = end;
      bytes_[ranges_++] = static_cast<std::uint8_t>(c);
    }
    unsigned r = 0;
    for (std::uint32_t k = 0; (k << kShift) < n; ++k) {
      const std::uint32_t base = k << kShift;
      while (base >= ends_[r]) ++r;
      const std::uint32_t last = std::min(ends_[r] - 1 - base, kLast);
      hints_[k] = static_cast<std::uint16_t>(last << 8 | bytes_[r]);
    }
  }

  // `row` below the `n` of build().
  [[gnu::always_inline]] unsigned char operator()(std::uint32_t row) const noexcept {
    const std::uint32_t hint = hints_[row >> kShift];
    if ((row & kLast) <= hint >> 8) [[likely]] return static_cast<unsigned char>(hint);
    return search(row);
  }

 private:
  static constexpr unsigned kShift = 8;
  static constexpr std::uint32_t kLast = (1u << kShift) - 1;

  [[gnu::noinline]] unsigned char search(std::uint32_t row) const noexcept {
    const std::uint32_t* found = std::upper_bound(ends_.data(), ends_.data() + ranges_, row);
    return bytes_[static_cast<std::size_t>(found - ends_.data())];
  }

  unsigned ranges_ = 0;
  std::array<std::uint32_t, 256> ends_{};  // of each present byte's positions, in order
  std::array<std::uint8_t, 256> bytes_{};
  // By a position's 256th: the last of its 256 in the range of the first
  // (above the low 8 bits), and that range's byte.
  std::array<std::uint16_t, (kMaxRows >> kShift) + 1> hints_{};
};

}  // namespace

struct BlockDecoder::Tables {
  std::array<Code, kMaxGroups> codes;
  std::array<std::uint8_t, kMaxSelectors> selectors;
  ByteOf byte_of;  // of the block prepare() read
};

BlockDecoder::BlockDecoder() : tables_(std::make_unique<Tables>()) {}
BlockDecoder::~BlockDecoder() = default;

namespace {

constexpr std::size_t kKept = 2;
constexpr std::size_t kKeptOut = std::size_t{4} << 20;

using DecoderShelf = util::Shelf<std::unique_ptr<BlockDecoder>, kKept>;

}  // namespace

std::unique_ptr<BlockDecoder> BlockDecoder::take() {
  std::unique_ptr<BlockDecoder> kept = DecoderShelf::get().take();
  return kept ? std::move(kept) : std::make_unique<BlockDecoder>();
}

void BlockDecoder::keep(std::unique_ptr<BlockDecoder> decoder) noexcept {
  if (!decoder) return;
  // A block of long runs decodes to up to 46 MB: not kept for a file that
  // may not need it.
  if (decoder->out_.capacity() > kKeptOut) decoder->out_.release();
  DecoderShelf::get().leave(decoder);
}

bool BlockDecoder::walk(unsigned char* tt, std::uint32_t n, std::uint32_t first, util::PageBuffer& scratch,
                        std::size_t from) {
  // Pieces of the text start at `first` and at positions spread evenly, each
  // marked in tt; a lane walks a piece until the next mark, then takes the
  // next piece. The lanes' loads do not wait on each other.
  // Each lane writes into segments of `scratch` it takes in turn, so that
  // their bytes need room for the text once, not a buffer per lane.
  const ByteOf& byte_of = tables_->byte_of;
  constexpr std::uint32_t kPieces = 64;
  constexpr std::uint32_t kMinPiece = 4096;
  constexpr std::size_t kRound = 4096;     // steps between checks of the lanes' room
  constexpr std::size_t kSegment = 16384;  // room a lane takes at a time
  constexpr std::size_t kLeft = 256;       // room below which it takes more
  pieces_.clear();
  fragments_.clear();
  auto start_at = [&](std::uint32_t row) {
    if ((entry_at(tt, row) & kMark) != 0) return;
    set_mark(tt, row);
    pieces_.push_back(Piece{row, 0, 0});
  };
  start_at(first);
  const std::uint32_t wanted = std::min(kPieces, n / kMinPiece + 1);
  for (std::uint32_t i = 1; i < wanted; ++i) {
    start_at(static_cast<std::uint32_t>(std::uint64_t{i} * n / wanted));
  }
  std::sort(pieces_.begin(), pieces_.end(),
            [](const Piece& a, const Piece& b) { return a.row < b.row; });
  auto piece_at = [&](std::uint32_t row) {
    auto found = std::lower_bound(pieces_.begin(), pieces_.end(), row,
                                  [](const Piece& p, std::uint32_t r) { return p.row < r; });
    return static_cast<std::uint32_t>(found - pieces_.begin());
  };
  const auto count = static_cast<std::uint32_t>(pieces_.size());

  // Every segment but the lanes' last is filled to within kLeft bytes.
  std::size_t taken = from;  // of the scratch, up to here
  scratch.resize(from + n + (n / (kSegment - kLeft) + 1) * kLeft + kLanes * kSegment);
  struct Lane {
    std::uint32_t row = 0;
    std::uint32_t piece = 0;
    std::uint32_t fragment = 0;  // the one it writes
    std::size_t used = 0;        // the end of its bytes in the scratch
    std::size_t end = 0;         // and of its segment
  };
  std::array<Lane, kLanes> lanes{};
  unsigned active = std::min<unsigned>(kLanes, count);
  std::uint32_t next_piece = 0;
  unsigned char* out = reinterpret_cast<unsigned char*>(scratch.data());
  auto close = [&](Lane& lane) {
    Fragment& f = fragments_[lane.fragment];
    f.length = static_cast<std::uint32_t>(lane.used - f.offset);
  };
  auto open = [&](Lane& lane) {
    fragments_.push_back(Fragment{lane.used, 0, kNoFragment});
    lane.fragment = static_cast<std::uint32_t>(fragments_.size() - 1);
  };
  auto begin_piece = [&](Lane& lane) {
    lane.piece = next_piece++;
    open(lane);
    Piece& piece = pieces_[lane.piece];
    piece.fragment = lane.fragment;
    out[lane.used++] = byte_of(piece.row);
    lane.row = entry_at(tt, piece.row) & kRowBits;
  };
  // Steps of all lanes up to `steps`, until one meets a mark: how many.
  // With the lanes' state in registers and one test of the marks a step, a
  // step takes half the instructions of the loop below, which would
  // otherwise hold fewer loads in flight: a fifth of the walk's time.
  auto all_lanes = [&](std::size_t steps) {
    std::array<std::uint32_t, kLanes> rows;
    std::array<unsigned char*, kLanes> dest;
    for (unsigned l = 0; l < kLanes; ++l) {
      rows[l] = lanes[l].row;
      dest[l] = out + lanes[l].used;
    }
    std::size_t done = 0;
    for (; done < steps; ++done) {
      std::array<std::uint32_t, kLanes> v;
      std::uint32_t marks = 0;
#pragma GCC unroll 8
      for (unsigned l = 0; l < kLanes; ++l) {
        v[l] = entry_at(tt, rows[l]);
        marks |= v[l];
      }
      if ((marks & kMark) != 0) break;
#pragma GCC unroll 8
      for (unsigned l = 0; l < kLanes; ++l) {
        dest[l][done] = byte_of(rows[l]);
        rows[l] = v[l] & kRowBits;
      }
    }
    for (unsigned l = 0; l < kLanes; ++l) {
      lanes[l].row = rows[l];
      lanes[l].used += done;
    }
    return done;
  };
  bool started = false;
  while (active > 0) {
    std::size_t steps = kRound;
    for (unsigned l = 0; l < active; ++l) {
      Lane& lane = lanes[l];
      if (lane.end - lane.used < kLeft) {
        if (started) {  // the piece goes on in the next segment
          close(lane);
          std::uint32_t before = lane.fragment;
          lane.used = taken;
          open(lane);
          fragments_[before].next = lane.fragment;
        } else {
          lane.used = taken;
        }
        lane.end = taken += kSegment;
        if (taken > scratch.size()) return false;  // more than the text: not one cycle
      }
      steps = std::min(steps, lane.end - lane.used - 1);
    }
    if (!started) {
      for (unsigned l = 0; l < active; ++l) begin_piece(lanes[l]);
      started = true;
    }
    // At most one byte per lane per step.
    for (std::size_t step = 0; step < steps && active > 0; ++step) {
      if (active == kLanes) {
        step += all_lanes(steps - step);
        if (step == steps) break;
      }
      unsigned l = 0;
      while (l < active) {
        Lane& lane = lanes[l];
        std::uint32_t v = entry_at(tt, lane.row);
        if ((v & kMark) != 0) [[unlikely]] {
          close(lane);
          pieces_[lane.piece].next = piece_at(lane.row);
          if (next_piece < count) {
            begin_piece(lane);
            ++l;
          } else {
            lane = lanes[--active];  // the last lane takes this one's place, and its step
          }
          continue;
        }
        out[lane.used++] = byte_of(lane.row);
        lane.row = v & kRowBits;
        ++l;
      }
    }
  }

  // The pieces in the text's order, from the one at `first`.
  unsigned char* text = tt;
  const std::uint32_t head = piece_at(first);
  std::uint32_t at = 0;
  std::uint32_t index = head;
  for (std::uint32_t k = 0; k < count; ++k) {
    for (std::uint32_t f = pieces_[index].fragment; f != kNoFragment; f = fragments_[f].next) {
      const Fragment& fragment = fragments_[f];
      if (fragment.length > n - at) return false;
      std::memcpy(text + at, out + fragment.offset, fragment.length);
      at += fragment.length;
    }
    index = pieces_[index].next;
    if (index == head) break;
  }
  return at == n && index == head;
}

BlockDecoder::Block BlockDecoder::decode(std::string_view data, std::uint64_t begin, char level,
                                         util::PageBuffer& out) {
  Block result = prepare(data, begin, level, out);
  result.ok = result.ok && complete(out);
  return result;
}

BlockDecoder::Block BlockDecoder::prepare(std::string_view data, std::uint64_t begin, char level,
                                          util::PageBuffer& scratch) {
  Block result;
  size_ = 0;
  if (level < '1' || level > '9') return result;
  BitReader in(data, begin);
  if (in.get(24) != (kBlockMarker >> 24) || in.get(24) != (kBlockMarker & 0xFFFFFF)) return result;
  const std::uint32_t stored_crc = in.get(kCrcBits);
  if (in.get(1) != 0) return result;  // randomised
  const std::uint32_t origin = in.get(24);
  const std::size_t max_block = 100000 * static_cast<std::size_t>(level - '0');

  // The bytes in use, in order.
  std::array<std::uint8_t, 256> mtf{};
  unsigned in_use = 0;
  const std::uint32_t ranges = in.get(16);
  for (unsigned i = 0; i < 16; ++i) {
    if ((ranges & (0x8000u >> i)) == 0) continue;
    const std::uint32_t bytes = in.get(16);
    for (unsigned j = 0; j < 16; ++j) {
      if (bytes & (0x8000u >> j)) mtf[in_use++] = static_cast<std::uint8_t>(16 * i + j);
    }
  }
  if (in_use == 0) return result;
  const unsigned alphabet = in_use + 2;
  const unsigned eob = in_use + 1;

  const unsigned groups = in.get(3);
  if (groups < 2 || groups > kMaxGroups) return result;
  unsigned selectors = in.get(15);
  if (selectors < 1) return result;
  std::array<std::uint8_t, kMaxGroups> order{};
  for (unsigned g = 0; g < groups; ++g) order[g] = static_cast<std::uint8_t>(g);
  for (unsigned i = 0; i < selectors; ++i) {
    unsigned j = 0;
    while (in.get(1) != 0) {
      if (++j >= groups) return result;
    }
    if (i >= kMaxSelectors) continue;
    std::uint8_t chosen = order[j];  // the selectors are move-to-front coded
    for (; j > 0; --j) order[j] = order[j - 1];
    order[0] = chosen;
    tables_->selectors[i] = chosen;
  }
  selectors = std::min(selectors, kMaxSelectors);

  std::array<std::uint8_t, kMaxAlphabet> lengths{};
  for (unsigned g = 0; g < groups; ++g) {
    unsigned len = in.get(5);
    for (unsigned i = 0; i < alphabet; ++i) {
      for (;;) {
        if (len < 1 || len > kMaxCodeLength) return result;
        if (in.get(1) == 0) break;
        len = in.get(1) == 0 ? len + 1 : len - 1;
      }
      lengths[i] = static_cast<std::uint8_t>(len);
    }
    tables_->codes[g].build(lengths.data(), alphabet);
  }

  // The block's bytes wait in the scratch's room while the table is built.
  scratch.reserve(scratch.size() + max_block);
  auto* block = reinterpret_cast<unsigned char*>(scratch.data() + scratch.size());
  std::array<std::uint32_t, 256> counts{};
  std::size_t n = 0;
  Symbols symbols{in, tables_->codes.data(), tables_->selectors.data(), selectors};
  unsigned sym = symbols.next();
  while (sym != eob) {
    if (sym == kBad) return result;
    if (sym <= kRunB) {
      // A run of the front byte, its length in bijective base 2.
      std::uint32_t run = 0;
      std::uint32_t weight = 1;
      do {
        if (weight >= (std::uint32_t{1} << 21)) return result;
        run += weight << sym;
        weight <<= 1;
        sym = symbols.next();
      } while (sym <= kRunB);
      if (run > max_block - n) return result;
      std::uint8_t byte = mtf[0];
      counts[byte] += run;
      std::memset(block + n, byte, run);
      n += run;
    } else {
      if (n >= max_block) return result;
      std::uint8_t byte = move_to_front(mtf.data(), sym - 1);
      ++counts[byte];
      block[n++] = byte;
      sym = symbols.next();
    }
  }
  if (in.overran() || origin >= n) return result;
  result.end = in.bit();

  // Each position's successor in the text (tt), walked in pieces side by
  // side (walk()).
  tt_.resize(max_block * kEntry + 1);
  auto* tt = reinterpret_cast<unsigned char*>(tt_.data());
  std::array<std::uint32_t, 256> first{};
  for (std::uint32_t c = 0, sum = 0; c < 256; ++c) {
    first[c] = sum;
    sum += counts[c];
  }
  for (std::uint32_t i = 0; i < n; ++i) set_successor(tt, first[block[i]]++, i);
  tables_->byte_of.build(counts, static_cast<std::uint32_t>(n));
  size_ = static_cast<std::uint32_t>(n);
  first_ = origin;
  stored_crc_ = stored_crc;
  result.ok = true;
  result.crc = stored_crc;
  return result;
}

void BlockDecoder::peek(std::size_t limit, util::PageBuffer& out) {
  // One chain of loads: slower per byte than walk()'s eight, but for the
  // few kilobytes of a first line that costs far less than a whole walk.
  const auto* tt = reinterpret_cast<const unsigned char*>(tt_.data());
  const ByteOf& byte_of = tables_->byte_of;
  const std::size_t walked = std::min<std::size_t>(limit, size_);
  const std::size_t start = out.size();
  // Runs of four expand to at most 4 + 255 bytes for 5 of text.
  out.resize(start + walked / 5 * 259 + 259);
  auto* dest = reinterpret_cast<unsigned char*>(out.data() + start);
  std::size_t at = 0;
  // The last four bytes walked wait for a run's count that may follow.
  std::array<unsigned char, 5> ahead{};
  std::size_t held = 0;
  std::uint32_t row = first_;
  for (std::size_t i = 0; i < walked; ++i) {
    ahead[held++] = byte_of(row);
    row = entry_at(tt, row) & kRowBits;
    if (held < 5) continue;
    const unsigned char c = ahead[0];
    if (ahead[1] == c && ahead[2] == c && ahead[3] == c) {
      std::memset(dest + at, c, 4 + std::size_t{ahead[4]});
      at += 4 + std::size_t{ahead[4]};
      held = 0;
    } else {
      dest[at++] = c;
      std::memmove(ahead.data(), ahead.data() + 1, --held);
    }
  }
  out.resize(start + at);
}

bool BlockDecoder::complete(util::PageBuffer& out) {
  const std::size_t n = size_;
  const std::uint32_t stored_crc = stored_crc_;
  size_ = 0;  // the walk writes the text over the transform
  auto* tt = reinterpret_cast<unsigned char*>(tt_.data());
  // The walk's pieces wait where the block's bytes will go.
  const std::size_t start = out.size();
  if (n == 0 || !walk(tt, static_cast<std::uint32_t>(n), first_, out, start)) return false;
  const auto* text = reinterpret_cast<const unsigned char*>(tt_.data());

  // Four equal bytes are followed by how many more of them there are.
  out.resize(start + n + 8);  // literals are copied eight bytes at a time
  std::size_t at = start;
  char* dest = out.data();
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= 9) {
      // Where each byte equals the next; three such in a row start a run.
      std::uint64_t x = load_le64(text + i) ^ load_le64(text + i + 1);
      std::uint64_t zero = (x - 0x0101010101010101u) & ~x & 0x8080808080808080u;
      if ((zero & (zero >> 8) & (zero >> 16)) == 0) {
        // None of the first six starts a run (a false alarm only costs a byte at a time).
        std::memcpy(dest + at, text + i, 8);
        at += 6;
        i += 6;
        continue;
      }
    }
    unsigned char c = text[i];
    if (i + 3 < n && text[i + 1] == c && text[i + 2] == c && text[i + 3] == c) {
      if (i + 4 >= n) return false;  // no count: libbz2 calls it corrupt
      std::size_t len = 4 + std::size_t{text[i + 4]};
      i += 5;
      if (at + len + (n - i) + 8 > out.size()) {
        out.resize(std::max(2 * out.size(), at + len + (n - i) + 8));
        dest = out.data();
      }
      std::memset(dest + at, c, len);
      at += len;
    } else {
      dest[at++] = static_cast<char>(c);
      ++i;
    }
  }
  out.resize(at);
  return crc_of(reinterpret_cast<const unsigned char*>(out.data() + start), at - start) == stored_crc;
}

}  // namespace marrowfin::io::bzip2
