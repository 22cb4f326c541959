#include "core/io/encoding.hpp"

#include <gtest/gtest.h>

namespace marrowfin::io {
namespace {

TEST(Encoding, ByTheExtensionOfTheFinalComponentOnly) {
  const auto gz = Encoding::kGzip;
  const auto bz = Encoding::kBzip2;
  const auto zs = Encoding::kZstd;
  const auto no = Encoding::kPlain;
  const struct {
    const char* path;
    Encoding encoding;
  } cases[] = {
      {"x.gz", gz},    {"x.gzip", gz},  {"dir/x.gz", gz}, {"a.b/x.tar.gz", gz}, {"x.gz/", gz},
      {"x.gz//", gz},  {"x.gz/.", gz},  {"..gz", gz},     {"d/..gz", gz},       {"x .gz", gz},
      {"x.bz2", bz},   {"d/1.2.bz2", bz}, {"x.tar.bz2", bz}, {"x.bz2/", bz},    {"..bz2", bz},
      {"x.GZ", no},    {"x.gz.txt", no}, {".gz", no},     {"d/.gz", no},        {"x.gz/..", no},
      {"..", no},      {".", no},       {"/", no},        {"", no},             {"gz", no},
      {"x.", no},      {"x.gz/y", no},  {"x.gzi", no},    {"x.gz ", no},        {"x.BZ2", no},
      {"x.bz", no},    {"x.bzip2", no}, {".bz2", no},     {"x.bz2.json", no},   {"x.tbz2", no},
      {"x.zst", zs},   {"1.2.json.zst", zs}, {"x.zst/", zs}, {"..zst", zs},     {"x.ZST", no},
      {"x.zstd", no},  {".zst", no},    {"x.zst.json", no}, {"x.tzst", no},     {"x.zs", no},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(encoding_from_name(c.path)), static_cast<int>(c.encoding)) << c.path;
  }
}

}  // namespace
}  // namespace marrowfin::io
