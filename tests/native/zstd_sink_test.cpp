#include "core/io/zstd_sink.hpp"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdint>
#include <string>

#include "core/io/zstd_source.hpp"
#include "core/load/message_loader.hpp"
#include "test_support.hpp"

namespace marrowfin::io {
namespace {

using namespace marrowfin::test;  // NOLINT: the tests' helpers

// Takes `room` bytes, then fails as a full disk does.
class FullSink final : public ByteSink {
 public:
  explicit FullSink(std::size_t room) : room_(room) {}
  std::string write(std::string_view bytes) override {
    if (bytes.size() > room_) return "No space left on device (os error 28)";
    room_ -= bytes.size();
    return {};
  }

 private:
  std::size_t room_;
};

// Many chunks, parsed on several threads.
load::LoadResult load_copying(const std::string& data, Encoding encoding, ByteSink* copy) {
  return load::load_messages_from_bytes(data, encoding, Inflater::default_backend(),
                                        {.chunk_size = 4096, .threads = 3, .copy_to = copy});
}

TEST(ZstdSink, ALoadCopiesExactlyWhatItDecodedIntoOneFrameOfA1MiBWindowOrFailsWithTheCopy) {
  std::string text;  // more than one window
  for (int i = 1; i <= 25000; ++i) {
    text += R"({"op":"mcm","pt":)" + std::to_string(1000 + i) + R"(,"mc":[{"id":"1.2","rc":[{"id":)" +
            std::to_string(i % 13) + R"(,"ltp":)" + std::to_string(1.5 + (i % 40) / 10.0) + "}]}]}\n";
    if (i % 997 == 0) text += "\n";  // blank lines are copied too
  }
  ASSERT_GT(text.size(), std::size_t{3} << 19);
  const std::pair<std::string, Encoding> inputs[] = {
      {text, Encoding::kPlain},
      {gzip_member(text.substr(0, 100000)) + gzip_member(text.substr(100000)), Encoding::kGzip},
      {bzip2_stream(text), Encoding::kBzip2},
      {zstd_frame(text, {9, true, true}), Encoding::kZstd}};
  for (int level : {1, 7, 9}) {  // 7 and 9 would choose 2 and 4 MiB
    for (const auto& [data, encoding] : inputs) {
      if (level != 7 && encoding != Encoding::kPlain) continue;  // the levels on one input
      StringSink out;
      ZstdSink zstd(out, level);
      load::LoadResult loaded = load_copying(data, encoding, &zstd);
      ASSERT_TRUE(loaded.store) << loaded.error;
      EXPECT_EQ(loaded.store->messages.size(), 25000u);
      ASSERT_EQ(zstd.finish(), "");
      EXPECT_EQ(zstd.write("more"), "the frame has ended");

      // The frame header: its descriptor, then (not single-segment) the
      // window's: exponent 10 + bits 3-7, a mantissa of eighths in bits 0-2.
      ASSERT_GT(out.data.size(), 6u);
      auto descriptor = static_cast<unsigned char>(out.data[4]);
      auto window = static_cast<unsigned char>(out.data[5]);
      EXPECT_EQ(descriptor & 0x20, 0) << "single segment";
      EXPECT_NE(descriptor & 0x04, 0) << "checksum";
      EXPECT_LE(window, (20 - 10) << 3) << level;
      EXPECT_EQ(ZSTD_findFrameCompressedSize(out.data.data(), out.data.size()), out.data.size());
      ZstdSource decoded(std::make_unique<MemorySource>(out.data));
      Decoded copy = drain(decoded, 65536);
      EXPECT_EQ(copy.error, "");
      EXPECT_TRUE(copy.data == text) << level << " " << static_cast<int>(encoding);
    }
  }
  // A copy that fails fails the load with its text; a bad file with its own.
  const std::string full = "No space left on device (os error 28)";
  FullSink room(1000);
  ZstdSink failing(room, 3);
  load::LoadResult loaded = load_copying(inputs[2].first, Encoding::kBzip2, &failing);
  EXPECT_EQ(std::make_tuple(loaded.store == nullptr, loaded.error, failing.finish()),
            std::make_tuple(true, full, full));
  StringSink out;
  ZstdSink copy(out, 3);
  loaded = load_copying(text + "{\"pt\":\n", Encoding::kPlain, &copy);
  EXPECT_EQ(std::make_tuple(loaded.store == nullptr, loaded.error),
            std::make_tuple(true, "EOF while parsing a value at line 1 column 6"));
}

}  // namespace
}  // namespace marrowfin::io
