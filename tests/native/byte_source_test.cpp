#include "parse/byte_source.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace marrowfin::parse {
namespace {

TEST(GzipExtension, FinalComponentDecides) {
  const struct {
    const char* path;
    bool gzip;
  } cases[] = {
      {"x.gz", true},        {"x.gzip", true},      {"dir/x.gz", true},   {"a.b/x.tar.gz", true},
      {"x.gz/", true},       {"x.gz//", true},      {"x.gz/.", true},     {"..gz", true},
      {"d/..gz", true},      {"x.GZ", false},       {"x.gz.txt", false},  {".gz", false},
      {"d/.gz", false},      {"x.gz/..", false},    {"..", false},        {".", false},
      {"/", false},          {"", false},           {"gz", false},        {"x.", false},
      {"x.gz/y", false},     {"x.gzi", false},      {"x .gz", true},      {"x.gz ", false},
  };
  for (const auto& c : cases) EXPECT_EQ(has_gzip_extension(c.path), c.gzip) << c.path;
}

TEST(OsErrorText, SystemTextAndNumber) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(EISDIR), "Is a directory (os error 21)");
}

TEST(File, DirectoryOpensAndFailsAtRead) {
  OpenResult opened = open_file("/tmp");
  ASSERT_TRUE(opened.file) << opened.error;
  char buffer[16];
  EXPECT_EQ(opened.file->read(buffer, sizeof buffer).error, "Is a directory (os error 21)");
  EXPECT_EQ(open_file("/nonexistent/file").error, "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace marrowfin::parse
