// One bzip2 block decoded whole, faster than libbz2 does it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "core/util/page_buffer.hpp"

namespace marrowfin::io::bzip2 {

// libbz2 spends two thirds of its time walking the block's transform, one
// dependent load per byte, each a miss in the core's cache once the table
// (3.6 MB at level 9) outgrows it. This decoder walks it in pieces, eight at
// a time, eight chains of loads in flight instead of one, and reads Huffman
// codes by table instead of bit by bit: about three times libbz2's speed.
// It holds about as much memory as libbz2 (3.7 MB at level 9): its table
// keeps only each position's successor, in 3 bytes (2.7 MB), as a position's
// byte follows from where it is (positions are in order of their bytes);
// and the block decoded whole, whose room holds the block's bytes while the
// table is built and the walk's pieces after.
//
// Only an accelerator: every code is read as libbz2 reads it, and a block is
// accepted only when its bytes match its CRC. Anything else (malformed data,
// a CRC that does not match, input that ends early, a block of the
// randomised kind that only bzip2 0.9.0 wrote) is a plain failure, and the
// caller decodes the stream with libbz2, which gives the verdict.
class BlockDecoder {
 public:
  BlockDecoder();
  ~BlockDecoder();
  BlockDecoder(const BlockDecoder&) = delete;
  BlockDecoder& operator=(const BlockDecoder&) = delete;

  struct Block {
    bool ok = false;
    std::uint64_t end = 0;   // the bit after the block: the next marker's
    std::uint32_t crc = 0;   // the CRC its header holds, which its bytes match
  };

  // A decoder that an earlier file's reader left (its memory mapped and
  // in cache already: fresh, the transform's pages fault in and are zeroed
  // for every file), or a new one. Throws std::bad_alloc.
  [[nodiscard]] static std::unique_ptr<BlockDecoder> take();
  // Leaves `decoder` for the next file; two wait at most, the oldest make
  // room. Null is allowed.
  static void keep(std::unique_ptr<BlockDecoder> decoder) noexcept;

  // Room for a reader's decoded blocks, kept with the decoder (up to a few
  // MB) from file to file.
  util::PageBuffer& out() noexcept { return out_; }

  // Decodes the block whose marker is at bit `begin` of `data`, in a stream
  // of level `level` ('1' to '9'), appending its bytes to `out` (which grows
  // as needed; on failure its new bytes are unspecified). Throws only
  // std::bad_alloc.
  [[nodiscard]] Block decode(std::string_view data, std::uint64_t begin, char level,
                             util::PageBuffer& out);

  // decode() in steps, for a reader that may need only the start of a block
  // (a filter, the first line): prepare() reads the block as decode() does,
  // but checks none of its bytes yet; then peek() may hand out its start,
  // and complete() appends its bytes, checked, as decode() does. Walking
  // the transform is the part of a block's decoding that peek() saves.
  // `scratch` past its size holds the block's bytes meanwhile (its size
  // stays; pass the buffer the block's bytes will go to, whose room that is).
  [[nodiscard]] Block prepare(std::string_view data, std::uint64_t begin, char level,
                              util::PageBuffer& scratch);
  // After prepare(): appends the expanded bytes of about the first `limit`
  // bytes of the block's text, unchecked, to `out`. They are the bytes that
  // complete() and libbz2 give first, even from a damaged block: the same
  // walk, from the same place.
  void peek(std::size_t limit, util::PageBuffer& out);
  // After prepare(): false where decode() fails. Throws only std::bad_alloc.
  [[nodiscard]] bool complete(util::PageBuffer& out);

 private:
  struct Tables;  // the block's codes and their selectors
  std::unique_ptr<Tables> tables_;
  static constexpr unsigned kLanes = 8;
  static constexpr std::uint32_t kNoFragment = 0xFFFFFFFFu;
  struct Piece {
    std::uint32_t row;       // where it starts
    std::uint32_t fragment;  // its first run of bytes in the scratch
    std::uint32_t next;      // the piece that follows it
  };
  struct Fragment {
    std::size_t offset;  // in the scratch
    std::uint32_t length;
    std::uint32_t next;  // the piece's next fragment, or kNoFragment
  };

  // Writes the `n` bytes of the text whose successors are in `tt` (3 bytes
  // each), from position `first`, over the start of `tt`, which the walk no
  // longer needs then; `scratch` from `from` on holds the pieces meanwhile
  // (it grows as needed; its bytes there are unspecified after). False when
  // they are not one cycle.
  bool walk(unsigned char* tt, std::uint32_t n, std::uint32_t first, util::PageBuffer& scratch,
            std::size_t from);

  // The block prepare() read: its text's length, the position of its first
  // byte, and the CRC its header holds.
  std::uint32_t size_ = 0;
  std::uint32_t first_ = 0;
  std::uint32_t stored_crc_ = 0;
  util::PageBuffer out_;
  util::PageBuffer tt_;  // the block's successors, then its text before runs are expanded
  std::vector<Piece> pieces_;
  std::vector<Fragment> fragments_;
};

}  // namespace marrowfin::io::bzip2
