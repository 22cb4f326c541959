#include "parse/message_loader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace marrowfin::parse {
namespace {

class TempFile {
 public:
  TempFile(const std::string& data, const std::string& suffix) {
    char name[] = "/tmp/marrowfin_loader_XXXXXX";
    int fd = mkstemp(name);
    ::close(fd);
    std::remove(name);
    path_ = std::string(name) + suffix;
    std::ofstream(path_, std::ios::binary) << data;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// "<publish time>:<key names of each change's members>" per message.
std::string describe(const MessageStore& store) {
  std::string out;
  for (const ParsedMessage& message : store.messages) {
    out += std::to_string(message.publish_time) + ":";
    for (const json::Value& change : message.market_changes) {
      out += "{";
      for (const json::Value& m : change.members()) out += std::string(json::key_name(m.key())) + ",";
      out += "}";
    }
    out += " ";
  }
  return out;
}

std::string gzip(const std::string& text) {
  std::string out(compressBound(static_cast<uLong>(text.size())) + 64, '\0');
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

const char kStream[] =
    "{\"op\":\"mcm\",\"pt\":10,\"mc\":[{\"id\":\"1.1\",\"img\":true},{\"id\":\"1.2\",\"rc\":[]}]}\n"
    "{\"op\":\"mcm\",\"pt\":11}\n"
    "\n"
    "{\"pt\":0,\"mc\":[{\"id\":\"lost\"}]}\n"
    "{\"id\":\"1.1\",\"rc\":[{\"id\":1}],\"pt\":12,\"op\":\"x\",\"marketDefinition\":null}\r\n"
    "[{\"pt\":13,\"mc\":[]}]\n"
    "{\"pt\":14,\"mc\":[]}";

TEST(LoadMessages, KeepsMarketChangesInFileOrder) {
  const char* expected =
      "10:{id,img,}{id,rc,} "
      "12:{id,marketDefinition,pt,rc,} "  // a bare change: the whole line object
      "14: ";
  for (const char* suffix : {".txt", ".gz"}) {
    std::string data = kStream;
    if (std::string(suffix) == ".gz") data = gzip(data);
    TempFile file(data, suffix);
    for (auto backend : {Inflater::Backend::kZlib, Inflater::default_backend()}) {
      LoadResult result = load_messages(file.path(), backend);
      ASSERT_EQ(result.error, "") << suffix;
      ASSERT_TRUE(result.store);
      EXPECT_EQ(describe(*result.store), expected) << suffix;
      LoadResult from_bytes = load_messages_from_bytes(data, data != kStream, backend);
      ASSERT_TRUE(from_bytes.store) << from_bytes.error;
      EXPECT_EQ(describe(*from_bytes.store), expected) << suffix;
    }
  }
}

TEST(LoadMessages, SkippedLinesLeaveNothingInTheArena) {
  std::string skipped;
  for (int i = 0; i < 5000; ++i) {
    skipped += "{\"pt\":0,\"mc\":[{\"id\":\"1.1\",\"rc\":[{\"atb\":[[1.5,2],[1.6,3]]}]}]}\n";
    skipped += "{\"op\":\"mcm\",\"pt\":5,\"clk\":\"x\"}\n";
  }
  TempFile file(skipped + "{\"pt\":1,\"mc\":[]}\n", ".txt");
  LoadResult result = load_messages(file.path());
  ASSERT_TRUE(result.store);
  EXPECT_EQ(result.store->messages.size(), 1u);
  EXPECT_LE(result.store->arena.reserved_bytes(), Arena::kBlockSize);
}

TEST(LoadMessages, FailureKeepsNothing) {
  TempFile file("{\"pt\":1,\"mc\":[]}\n{\"pt\":1,\"mc\":[}\n", ".txt");
  LoadResult result = load_messages(file.path());
  EXPECT_FALSE(result.store);
  EXPECT_EQ(result.error, "expected value at line 1 column 15");
  EXPECT_EQ(load_messages("/nonexistent/x.gz").error, "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace marrowfin::parse
